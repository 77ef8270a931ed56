#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "app/main.h"
#include "foundation/process.h"
#include "installer/install.h"
#include "tests/app/app_test_support.h"
#include "tests/support/test_support.h"

using qel::test::LogCapture;
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

// Stand-ins for the elevation and installer calls, recording what the verb asked for.
struct FakeAdmin {
    static inline bool elevated = true;
    static inline bool relaunchOk = true;
    static inline unsigned long relaunchCode = 0;
    static inline int result = 0;
    static inline std::vector<std::wstring> calls;

    static bool IsElevated() { return elevated; }
    static bool Relaunch(const wchar_t* arguments, unsigned long* code) {
        calls.push_back(std::wstring(L"relaunch ") + arguments);
        *code = relaunchCode;
        return relaunchOk;
    }
    static int Install() {
        calls.push_back(L"install");
        return result;
    }
    static int Uninstall() {
        calls.push_back(L"uninstall");
        return result;
    }
};

class Verbs : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = qel::AdminPlatform();
        qel::AdminPlatform() = qel::AdminCalls{FakeAdmin::IsElevated, FakeAdmin::Relaunch, FakeAdmin::Install,
                                               FakeAdmin::Uninstall};
        FakeAdmin::elevated = true;
        FakeAdmin::relaunchOk = true;
        FakeAdmin::relaunchCode = 0;
        FakeAdmin::result = 0;
        FakeAdmin::calls.clear();
    }
    void TearDown() override { qel::AdminPlatform() = saved_; }

    // Runs the verb with standard output in a file; returns the exit code and fills `out`.
    int Run(std::vector<std::wstring> args) {
        std::vector<wchar_t*> pointers;
        for (std::wstring& a : args) pointers.push_back(a.data());
        qel::test::RedirectedOutput capture(dir_);
        const int code = qel::RunVerb(static_cast<int>(pointers.size()), pointers.data());
        out = capture.Text();
        return code;
    }

    TempDir dir_;
    std::string out;
    qel::AdminCalls saved_{};
};

TEST_F(Verbs, HelpInEachSpellingPrintsTheUsage) {
    for (const wchar_t* verb : {L"--help", L"-h", L"/?"}) {
        EXPECT_EQ(Run({verb}), 0);
        EXPECT_EQ(out, kUsage);
    }
}

TEST_F(Verbs, UnknownArgumentBehindAVerbStopsBeforeAnythingRuns) {
    EXPECT_EQ(Run({L"--install", L"--foo"}), 2);
    EXPECT_EQ(out, "Argomento sconosciuto: --foo\n" + kUsage);
    EXPECT_EQ(Run({L"--install", L"--elevated", L"--foo"}), 2);
    EXPECT_EQ(out, "Argomento sconosciuto: --foo\n" + kUsage);
    EXPECT_TRUE(FakeAdmin::calls.empty());
}

TEST_F(Verbs, ElevatedBehindOtherVerbsIsReportedAsTheUnknownArgument) {
    for (const wchar_t* verb : {L"--status", L"--help", L"--selftest", L"--bogus"}) {
        EXPECT_EQ(Run({verb, L"--elevated"}), 2) << qel::Utf8(verb);
        EXPECT_EQ(out, "Argomento sconosciuto: --elevated\n" + kUsage);
    }
}

TEST_F(Verbs, VerbsAreCaseSensitive) {
    for (const wchar_t* verb : {L"--INSTALL", L"--Help", L"--Status", L"install"}) {
        EXPECT_EQ(Run({verb}), 2);
        EXPECT_EQ(out, "Argomento sconosciuto: " + qel::Utf8(verb) + "\n" + kUsage);
    }
    EXPECT_TRUE(FakeAdmin::calls.empty());
}

TEST_F(Verbs, ElevatedProcessRunsTheVerbAtOnce) {
    EXPECT_EQ(Run({L"--install", L"--elevated", L"--elevated"}), 0);
    EXPECT_EQ(out, "Qel Camera installata.\n");
    EXPECT_EQ(Run({L"--uninstall"}), 0);
    EXPECT_EQ(out, "Qel Camera rimossa.\n");
    EXPECT_EQ(FakeAdmin::calls, (std::vector<std::wstring>{L"install", L"uninstall"}));

    FakeAdmin::result = 1;
    EXPECT_EQ(Run({L"--install"}), 1);
    EXPECT_EQ(out, "ERRORE: installazione non riuscita.\n" + kLogHint);
    EXPECT_EQ(Run({L"--uninstall", L"--elevated"}), 1);
    EXPECT_EQ(out, "ERRORE: rimozione non riuscita.\n" + kLogHint);
}

TEST_F(Verbs, RelaunchedCopyThatIsStillNotElevatedGivesUp) {
    LogCapture log;
    FakeAdmin::elevated = false;
    EXPECT_EQ(Run({L"--uninstall", L"--elevated"}), 1);
    EXPECT_EQ(out, "ERRORE: permessi di amministratore non ottenuti.\n");
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"main: --uninstall relaunched but still not elevated"});
    EXPECT_TRUE(FakeAdmin::calls.empty()) << "no second relaunch, no install";
}

TEST_F(Verbs, NotElevatedAsksAnElevatedCopy) {
    FakeAdmin::elevated = false;
    EXPECT_EQ(Run({L"--install"}), 0);
    EXPECT_EQ(out, "Richiesta dei permessi di amministratore...\nQel Camera installata.\n");
    EXPECT_EQ(FakeAdmin::calls, std::vector<std::wstring>{L"relaunch --install"});

    FakeAdmin::relaunchOk = false;
    FakeAdmin::relaunchCode = 1223;
    EXPECT_EQ(Run({L"--uninstall"}), 1);
    EXPECT_EQ(out, "Richiesta dei permessi di amministratore...\nAnnullato: permessi di amministratore negati.\n" +
                       kLogHint);

    FakeAdmin::relaunchCode = 5;
    EXPECT_EQ(Run({L"--uninstall"}), 1);
    EXPECT_EQ(out, "Richiesta dei permessi di amministratore...\nERRORE: rimozione non riuscita (codice 5).\n" +
                       kLogHint);
    FakeAdmin::relaunchCode = 1;
    EXPECT_EQ(Run({L"--install"}), 1);
    EXPECT_EQ(out, "Richiesta dei permessi di amministratore...\nERRORE: installazione non riuscita (codice 1).\n" +
                       kLogHint);
}

TEST(LoadShaderSource, ExecutableWithoutTheResourceGivesNothing) {
    EXPECT_EQ(qel::LoadShaderSource(), "");
}

// The real program, its output redirected to a file (no console is attached then).
TEST(Brivane, HelpOutputAndExitCodeOfTheRealProgram) {
    TempDir dir;
    const qel::test::ProgramRun run = qel::test::RunBrivane(dir, L"/?");
    EXPECT_EQ(run.code, 0u);
    EXPECT_EQ(run.output, kUsage);
    const qel::test::ProgramRun bad = qel::test::RunBrivane(dir, L"--Help");
    EXPECT_EQ(bad.code, 2u);
    EXPECT_EQ(bad.output, "Argomento sconosciuto: --Help\n" + kUsage);
}

TEST(Brivane, StatusPrintsWhatTheStatusVerbPrints) {
    TempDir dir;
    const qel::test::ProgramRun run = qel::test::RunBrivane(dir, L"--status");
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
