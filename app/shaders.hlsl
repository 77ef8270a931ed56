// The compositor's shader program (shader model 4.0). Every pass draws one 4-vertex triangle strip whose
// corners come from the constant buffer; colours are gamma-space premultiplied RGBA, NV12 edges BT.709
// limited range.

cbuffer Params : register(b0)
{
    float4 gPos[4]     : packoffset(c0);    // xy clip position, zw the varying
    float2 gSrcCenter  : packoffset(c4.x);  // feature paste: source ellipse centre, output pixels
    float  gInvScale   : packoffset(c4.z);  // feature paste: 1 / magnification
    float  gAlpha      : packoffset(c4.w);  // draw opacity
    float2 gRot        : packoffset(c5.x);  // feature paste: cos, sin of the source ellipse's angle
    float2 gRadii      : packoffset(c5.z);  // feature paste: destination radii in pixels
    float2 gOutSize    : packoffset(c6.x);  // always (1280, 720)
    float2 gPad        : packoffset(c6.z);
};

Texture2D gTex  : register(t0);
Texture2D gTex1 : register(t1);
SamplerState gLinear : register(s0);
SamplerState gPoint  : register(s1);

struct VsOut
{
    float4 pos : SV_Position;
    float2 t   : TEXCOORD0;
};

static const float3 kLumaY = float3(0.2126, 0.7152, 0.0722);

VsOut VsQuad(uint id : SV_VertexID)
{
    VsOut o;
    float4 corner = gPos[id];
    o.pos = float4(corner.xy, 0.0, 1.0);
    o.t = corner.zw;
    return o;
}

float4 PsNv12(VsOut i) : SV_Target
{
    float y = (gTex.Sample(gLinear, i.t).r - 16.0 / 255.0) * (255.0 / 219.0);
    float2 c = (gTex1.Sample(gLinear, i.t).rg - 128.0 / 255.0) * (255.0 / 224.0);
    float3 rgb = float3(y + 1.5748 * c.y,
                        y - 0.187324 * c.x - 0.468124 * c.y,
                        y + 1.8556 * c.x);
    return float4(saturate(rgb), 1.0);
}

float4 PsLayer(VsOut i) : SV_Target
{
    return gTex.Sample(gLinear, i.t) * gAlpha;
}

float4 PsFeature(VsOut i) : SV_Target
{
    float r = length(i.t / gRadii);
    float mask = 1.0 - smoothstep(0.75, 1.0, r);
    float2 l = i.t * gInvScale;
    float2 src = gSrcCenter + float2(gRot.x * l.x - gRot.y * l.y, gRot.y * l.x + gRot.x * l.y);
    float3 colour = gTex.Sample(gLinear, src / gOutSize).rgb;
    return float4(colour, 1.0) * (mask * gAlpha);
}

float PsLuma(VsOut i) : SV_Target
{
    float3 c = gTex.Sample(gPoint, i.t).rgb;
    return (16.0 + 219.0 * dot(c, kLumaY)) / 255.0;
}

float2 PsChroma(VsOut i) : SV_Target
{
    float3 c = gTex.Sample(gLinear, i.t).rgb;
    float y = dot(c, kLumaY);
    float cb = (128.0 + 224.0 * (c.b - y) / 1.8556) / 255.0;
    float cr = (128.0 + 224.0 * (c.r - y) / 1.5748) / 255.0;
    return float2(cb, cr);
}
