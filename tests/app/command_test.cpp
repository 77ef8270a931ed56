#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "app/main.h"
#include "foundation/process.h"
#include "installer/install.h"
#include "tests/app/app_test_support.h"
#include "tests/support/test_support.h"

using qel::test::TempDir;

namespace {

const std::string kUsage =
    "Qel Camera\n"
    "Uso: Brivane.exe [--install | --uninstall | --status | --selftest]\n"
    "  (senza argomenti)  apre la finestra di Qel Camera\n"
    "  --install    installa la camera virtuale \"Qel Camera\" (chiede i permessi di amministratore)\n"
    "  --uninstall  rimuove la camera virtuale (chiede i permessi di amministratore)\n"
    "  --status     mostra se la camera virtuale \xC3\xA8 installata\n"
    "  --selftest   prova la webcam per 5 secondi e mostra fps, ms per frame e CPU\n"
    "Dal Prompt dei comandi usa \"start /wait Brivane.exe --selftest\" per attendere la fine\n"
    "e avere il codice di uscita in %errorlevel%.\n";
const std::string kLogHint = "Dettagli nel log: %LOCALAPPDATA%\\Qel\\Camera\\log.txt\n";
const std::string kAsking = "Richiesta dei permessi di amministratore...\n";

std::string Unknown(const std::string& argument) { return "Argomento sconosciuto: " + argument + "\n" + kUsage; }

// One command line, what the platform answers, and what must come out.
struct Case {
    std::vector<std::wstring> args;
    int code = 0;
    std::string output;
    std::vector<std::wstring> calls = {};  // elevation relaunches and installer runs, in order
    std::vector<std::string> log = {};
    bool elevated = true;  // Wine's answer; the relaunch paths need the stand-in
    bool relaunchOk = true;
    unsigned long relaunchCode = 0;
    int verbResult = 0;  // what the install or uninstall run returns
};

// Stand-ins for the elevation and installer calls: they answer as the current case says and record.
const struct Case* current = nullptr;
std::vector<std::wstring> calls;
int Record(const wchar_t* call) {
    calls.push_back(call);
    return current->verbResult;
}

class Verbs : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = qel::AdminPlatform();
        qel::AdminPlatform() = {
            [] { return current->elevated; },
            [](const wchar_t* arguments, unsigned long* code) {
                calls.push_back(std::wstring(L"relaunch ") + arguments);
                *code = current->relaunchCode;
                return current->relaunchOk;
            },
            [] { return Record(L"install"); }, [] { return Record(L"uninstall"); }};
    }
    void TearDown() override { qel::AdminPlatform() = saved_; }

    // Runs each command line with standard output in a file and compares everything byte for byte.
    void Check(const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            std::vector<std::wstring> args = c.args;
            std::vector<wchar_t*> pointers;
            std::string line;
            for (std::wstring& a : args) {
                pointers.push_back(a.data());
                line += qel::Utf8(a) + " ";
            }
            SCOPED_TRACE(line);
            current = &c;
            calls.clear();
            qel::test::LogCapture log;
            TempDir dir;
            int code = -1;
            std::string output;
            {
                qel::test::RedirectedOutput out(dir);
                code = qel::RunVerb(static_cast<int>(pointers.size()), pointers.data());
                output = out.Text();
            }
            EXPECT_EQ(code, c.code);
            EXPECT_EQ(output, c.output);
            EXPECT_EQ(calls, c.calls);
            EXPECT_EQ(log.Lines(), c.log);
        }
    }

    qel::AdminCalls saved_{};
};

TEST_F(Verbs, UsageAndCommandLinesThatAreNotUnderstood) {
    Check({
        {.args = {L"--help"}, .code = 0, .output = kUsage},
        {.args = {L"-h"}, .code = 0, .output = kUsage},
        {.args = {L"/?"}, .code = 0, .output = kUsage},
        // Arguments are checked before the verb: nothing runs, no elevation is asked.
        {.args = {L"--install", L"--foo"}, .code = 2, .output = Unknown("--foo")},
        {.args = {L"--install", L"--elevated", L"--foo"}, .code = 2, .output = Unknown("--foo"), .elevated = false},
        {.args = {L"--status", L"--elevated"}, .code = 2, .output = Unknown("--elevated")},
        {.args = {L"--help", L"--elevated"}, .code = 2, .output = Unknown("--elevated")},
        {.args = {L"--selftest", L"--elevated"}, .code = 2, .output = Unknown("--elevated")},
        {.args = {L"--bogus", L"--elevated"}, .code = 2, .output = Unknown("--elevated")},
        {.args = {L"--INSTALL"}, .code = 2, .output = Unknown("--INSTALL")},
        {.args = {L"--Help"}, .code = 2, .output = Unknown("--Help")},
        {.args = {L"--Status"}, .code = 2, .output = Unknown("--Status")},
        {.args = {L"install"}, .code = 2, .output = Unknown("install")},
    });
}

TEST_F(Verbs, AdministrativeVerbsRunHereWhenElevatedElseThroughAnElevatedCopy) {
    Check({
        {.args = {L"--install", L"--elevated", L"--elevated"}, .code = 0, .output = "Qel Camera installata.\n",
         .calls = {L"install"}},
        {.args = {L"--uninstall"}, .code = 0, .output = "Qel Camera rimossa.\n", .calls = {L"uninstall"}},
        {.args = {L"--install"}, .code = 1, .output = "ERRORE: installazione non riuscita.\n" + kLogHint,
         .calls = {L"install"}, .verbResult = 1},
        {.args = {L"--uninstall", L"--elevated"}, .code = 1, .output = "ERRORE: rimozione non riuscita.\n" + kLogHint,
         .calls = {L"uninstall"}, .verbResult = 1},
        // A relaunched copy that still is not elevated gives up instead of asking again.
        {.args = {L"--uninstall", L"--elevated"}, .code = 1,
         .output = "ERRORE: permessi di amministratore non ottenuti.\n",
         .log = {"main: --uninstall relaunched but still not elevated"}, .elevated = false},
        {.args = {L"--install"}, .code = 0, .output = kAsking + "Qel Camera installata.\n",
         .calls = {L"relaunch --install"}, .elevated = false},
        {.args = {L"--uninstall"}, .code = 1,
         .output = kAsking + "Annullato: permessi di amministratore negati.\n" + kLogHint,
         .calls = {L"relaunch --uninstall"}, .elevated = false, .relaunchOk = false, .relaunchCode = 1223},
        {.args = {L"--uninstall"}, .code = 1,
         .output = kAsking + "ERRORE: rimozione non riuscita (codice 5).\n" + kLogHint,
         .calls = {L"relaunch --uninstall"}, .elevated = false, .relaunchOk = false, .relaunchCode = 5},
        {.args = {L"--install"}, .code = 1,
         .output = kAsking + "ERRORE: installazione non riuscita (codice 1).\n" + kLogHint,
         .calls = {L"relaunch --install"}, .elevated = false, .relaunchOk = false, .relaunchCode = 1},
    });
}

TEST(LoadShaderSource, ExecutableWithoutTheResourceGivesNothing) { EXPECT_EQ(qel::LoadShaderSource(), ""); }

// The real program, its output redirected to a file (no console is attached then).
TEST(Brivane, RealProgramPrintsUsageAndStatusWithTheirExitCodes) {
    TempDir dir;
    qel::test::ProgramRun run = qel::test::RunBrivane(dir, L"/?");
    EXPECT_EQ(run.code, 0u);
    EXPECT_EQ(run.output, kUsage);
    run = qel::test::RunBrivane(dir, L"--Help");
    EXPECT_EQ(run.code, 2u);
    EXPECT_EQ(run.output, Unknown("--Help"));

    run = qel::test::RunBrivane(dir, L"--status");
    EXPECT_EQ(run.code, 0u);
    std::string expected;
    {
        qel::test::RedirectedOutput capture(dir);
        EXPECT_EQ(qel::RunStatus(), 0);
        expected = capture.Text();
    }
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(run.output, expected);
}

}  // namespace
