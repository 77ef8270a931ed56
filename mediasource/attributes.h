#pragma once

#include <mfobjects.h>

namespace qel {

// The 30 IMFAttributes operations, each passed unchanged to the object's inner store. Base is
// IMFAttributes itself or an interface derived from it (IMFActivate). No lock, no check: the
// store is thread-safe and outlives every other state of the object. Classes list RefCounted
// before this base so the store is released before the library count drops.
template <class Base>
class AttributeForwarder : public Base {
public:
    STDMETHODIMP GetItem(REFGUID key, PROPVARIANT* value) override { return store->GetItem(key, value); }
    STDMETHODIMP GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) override { return store->GetItemType(key, type); }
    STDMETHODIMP CompareItem(REFGUID key, REFPROPVARIANT value, BOOL* result) override {
        return store->CompareItem(key, value, result);
    }
    STDMETHODIMP Compare(IMFAttributes* other, MF_ATTRIBUTES_MATCH_TYPE matchType, BOOL* result) override {
        return store->Compare(other, matchType, result);
    }
    STDMETHODIMP GetUINT32(REFGUID key, UINT32* value) override { return store->GetUINT32(key, value); }
    STDMETHODIMP GetUINT64(REFGUID key, UINT64* value) override { return store->GetUINT64(key, value); }
    STDMETHODIMP GetDouble(REFGUID key, double* value) override { return store->GetDouble(key, value); }
    STDMETHODIMP GetGUID(REFGUID key, GUID* value) override { return store->GetGUID(key, value); }
    STDMETHODIMP GetStringLength(REFGUID key, UINT32* length) override { return store->GetStringLength(key, length); }
    STDMETHODIMP GetString(REFGUID key, LPWSTR buffer, UINT32 bufferSize, UINT32* length) override {
        return store->GetString(key, buffer, bufferSize, length);
    }
    STDMETHODIMP GetAllocatedString(REFGUID key, LPWSTR* value, UINT32* length) override {
        return store->GetAllocatedString(key, value, length);
    }
    STDMETHODIMP GetBlobSize(REFGUID key, UINT32* size) override { return store->GetBlobSize(key, size); }
    STDMETHODIMP GetBlob(REFGUID key, UINT8* buffer, UINT32 bufferSize, UINT32* size) override {
        return store->GetBlob(key, buffer, bufferSize, size);
    }
    STDMETHODIMP GetAllocatedBlob(REFGUID key, UINT8** buffer, UINT32* size) override {
        return store->GetAllocatedBlob(key, buffer, size);
    }
    STDMETHODIMP GetUnknown(REFGUID key, REFIID iid, void** object) override {
        return store->GetUnknown(key, iid, object);
    }
    STDMETHODIMP SetItem(REFGUID key, REFPROPVARIANT value) override { return store->SetItem(key, value); }
    STDMETHODIMP DeleteItem(REFGUID key) override { return store->DeleteItem(key); }
    STDMETHODIMP DeleteAllItems() override { return store->DeleteAllItems(); }
    STDMETHODIMP SetUINT32(REFGUID key, UINT32 value) override { return store->SetUINT32(key, value); }
    STDMETHODIMP SetUINT64(REFGUID key, UINT64 value) override { return store->SetUINT64(key, value); }
    STDMETHODIMP SetDouble(REFGUID key, double value) override { return store->SetDouble(key, value); }
    STDMETHODIMP SetGUID(REFGUID key, REFGUID value) override { return store->SetGUID(key, value); }
    STDMETHODIMP SetString(REFGUID key, LPCWSTR value) override { return store->SetString(key, value); }
    STDMETHODIMP SetBlob(REFGUID key, const UINT8* buffer, UINT32 size) override {
        return store->SetBlob(key, buffer, size);
    }
    STDMETHODIMP SetUnknown(REFGUID key, IUnknown* object) override { return store->SetUnknown(key, object); }
    STDMETHODIMP LockStore() override { return store->LockStore(); }
    STDMETHODIMP UnlockStore() override { return store->UnlockStore(); }
    STDMETHODIMP GetCount(UINT32* count) override { return store->GetCount(count); }
    STDMETHODIMP GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) override {
        return store->GetItemByIndex(index, key, value);
    }
    STDMETHODIMP CopyAllItems(IMFAttributes* target) override { return store->CopyAllItems(target); }

protected:
    AttributeForwarder() = default;
    ~AttributeForwarder() {
        if (store) store->Release();
    }

    // Owned (one reference) from creation to destruction, never replaced.
    IMFAttributes* store = nullptr;
};

}  // namespace qel
