// The installed-version check of the server setup against a running product:
// the stand-in product service over its real pipe, and fake products of the
// test's own for the replies a real one never gives (cut short, silent,
// oversized, busy, refusing the connection, impersonating the setup).
#include "app/InstallApp.h"
#include "framework/Handles.h"
#include "framework/Text.h"
#include "tests/support/SampleSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

using namespace testsupport;

namespace {

const std::string REFUSAL_START =
    "You are trying to install older version of the software on your computer. Before installing version 6.1 "
    "you need to uninstall ";

std::string Refusal(const std::string& runningVersion)
{
    return REFUSAL_START + runningVersion + " first.\n";
}

std::string Le32(uint32_t value)
{
    return std::string{static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
                       static_cast<char>(value >> 24)};
}

std::string Reply(uint32_t version, const std::string& text)
{
    return Le32(version) + Le32(static_cast<uint32_t>(text.size())) + text;
}

// One connection of a fake product, from its side of the pipe.
class Session {
public:
    Session(HANDLE pipe, HANDLE stop) : m_pipe(pipe), m_stop(stop) {}

    // False when the client went away or the fake is stopped.
    bool Read(DWORD count, DWORD timeoutMs = 30000)
    {
        std::string bytes(count, '\0');
        DWORD done = 0;
        while (done < count) {
            DWORD moved = 0;
            if (!Io(true, &bytes[done], count - done, timeoutMs, &moved) || moved == 0)
                return false;
            done += moved;
        }
        received += bytes;
        return true;
    }
    bool Write(const std::string& bytes)
    {
        DWORD moved = 0;
        return Io(false, const_cast<char*>(bytes.data()), static_cast<DWORD>(bytes.size()), 5000, &moved) &&
               moved == bytes.size();
    }
    // Says nothing until the fake is stopped.
    void StaySilent() { WaitForSingleObject(m_stop, INFINITE); }
    // What a product that impersonates the client gets: the level of the
    // thread's token meanwhile, -1 when impersonating or reading it fails.
    int ClientLevel()
    {
        if (!ImpersonateNamedPipeClient(m_pipe))
            return -1;
        HANDLE raw = nullptr;
        const bool opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &raw);
        fw::CKernelHandle token(raw);
        SECURITY_IMPERSONATION_LEVEL level{};
        DWORD size = 0;
        const bool read =
            opened && GetTokenInformation(token.get(), TokenImpersonationLevel, &level, sizeof level, &size);
        RevertToSelf();
        return read ? static_cast<int>(level) : -1;
    }

    std::string received;

private:
    bool Io(bool reading, char* bytes, DWORD count, DWORD timeoutMs, DWORD* moved)
    {
        fw::CKernelHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED overlapped{};
        overlapped.hEvent = done.get();
        const BOOL started = reading ? ReadFile(m_pipe, bytes, count, nullptr, &overlapped)
                                     : WriteFile(m_pipe, bytes, count, nullptr, &overlapped);
        if (!started && GetLastError() != ERROR_IO_PENDING)
            return false;
        HANDLE waits[2] = {done.get(), m_stop};
        if (WaitForMultipleObjects(2, waits, FALSE, timeoutMs) != WAIT_OBJECT_0) {
            CancelIo(m_pipe);
            GetOverlappedResult(m_pipe, &overlapped, moved, TRUE);
            return false;
        }
        return GetOverlappedResult(m_pipe, &overlapped, moved, FALSE) != FALSE;
    }

    HANDLE m_pipe;
    HANDLE m_stop;
};

// A running "product": the server build's presence event (optional) and one
// instance of its pipe, which answers every client with `answer`.
class FakeProduct {
public:
    using Answer = std::function<void(Session&)>;

    FakeProduct(bool withEvent, DWORD openMode, Answer answer) : m_answer(std::move(answer))
    {
        m_stop.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        m_pipe.reset(CreateNamedPipeA(SAMPLE_SERVER_PIPE, openMode | FILE_FLAG_OVERLAPPED,
                                      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
        if (withEvent)
            m_event.reset(CreateEventA(nullptr, TRUE, FALSE, SAMPLE_SERVER_EVENT));
        m_thread = std::thread([this] { Serve(); });
    }
    ~FakeProduct()
    {
        SetEvent(m_stop.get());
        m_thread.join();
    }
    bool Ready() const { return m_pipe.valid() && m_stop.valid(); }
    int Connections() const { return m_connections; }
    std::string LastRequest() const { return m_lastRequest; }

private:
    void Serve()
    {
        fw::CKernelHandle connected(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        for (;;) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = connected.get();
            ResetEvent(connected.get());
            if (!ConnectNamedPipe(m_pipe.get(), &overlapped)) {
                const DWORD error = GetLastError();
                if (error == ERROR_IO_PENDING) {
                    HANDLE waits[2] = {connected.get(), m_stop.get()};
                    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                        CancelIo(m_pipe.get());
                        DWORD unused = 0;
                        GetOverlappedResult(m_pipe.get(), &overlapped, &unused, TRUE);
                        return;
                    }
                } else if (error != ERROR_PIPE_CONNECTED) {
                    return;
                }
            }
            ++m_connections;
            Session session(m_pipe.get(), m_stop.get());
            m_answer(session);
            m_lastRequest = session.received;
            FlushFileBuffers(m_pipe.get());
            DisconnectNamedPipe(m_pipe.get());
            if (WaitForSingleObject(m_stop.get(), 0) == WAIT_OBJECT_0)
                return;
        }
    }

    Answer m_answer;
    fw::CKernelHandle m_stop;
    fw::CFileHandle m_pipe;
    fw::CKernelHandle m_event;
    std::atomic<int> m_connections{0};
    std::string m_lastRequest;
    std::thread m_thread;
};

// The request, then `reply`.
FakeProduct::Answer Answering(const std::string& reply)
{
    return [reply](Session& session) {
        if (session.Read(4))
            session.Write(reply);
    };
}

// The program's import slot of CreateFileA; the app library's calls go
// through it as well.
extern "C" decltype(&CreateFileA) __imp_CreateFileA;

// Notes the flags of the opens of the product's pipe, through the import slot
// for as long as it lives.
class PipeOpenFlags {
public:
    PipeOpenFlags() : m_real(__imp_CreateFileA)
    {
        s_real = m_real;
        s_count = 0;
        s_flags = 0;
        Swap(&Noting);
    }
    ~PipeOpenFlags() { Swap(m_real); }
    PipeOpenFlags(const PipeOpenFlags&) = delete;
    PipeOpenFlags& operator=(const PipeOpenFlags&) = delete;

    int Count() const { return s_count; }
    DWORD Last() const { return s_flags; }

private:
    static HANDLE WINAPI Noting(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE model)
    {
        if (name && lstrcmpiA(name, SAMPLE_SERVER_PIPE) == 0) {
            ++s_count;
            s_flags = flags;
        }
        return s_real(name, access, share, security, disposition, flags, model);
    }
    static void Swap(decltype(&CreateFileA) target)
    {
        DWORD protection = 0;
        VirtualProtect(&__imp_CreateFileA, sizeof target, PAGE_READWRITE, &protection);
        __imp_CreateFileA = target;
        VirtualProtect(&__imp_CreateFileA, sizeof target, protection, &protection);
    }

    decltype(&CreateFileA) m_real;
    static inline decltype(&CreateFileA) s_real = nullptr;
    static inline int s_count = 0;
    static inline DWORD s_flags = 0;
};

bool UnderWine()
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

struct Outcome {
    int result;
    std::string message;
    DWORD elapsedMs;
};

Outcome Check()
{
    CInstallApp app;
    Outcome outcome{};
    outcome.message = "untouched";
    const DWORD start = GetTickCount();
    outcome.result = app.CheckInstalledVersion(&outcome.message);
    outcome.elapsedMs = GetTickCount() - start;
    return outcome;
}

}  // namespace

TEST(VersionQuery, TheStandInProductDecidesByItsVersion)
{
    {
        CConsoleProduct same;
        ASSERT_TRUE(same.Start(SamplePath("server", "velloransrv.exe"), SAMPLE_SERVER_EVENT));
        const Outcome outcome = Check();
        EXPECT_EQ(outcome.result, 0);  // equal is not newer
        EXPECT_EQ(outcome.message, "");
    }
    CConsoleProduct newer;
    ASSERT_TRUE(newer.Start(BinPath("velloransrv_newer.exe"), SAMPLE_SERVER_EVENT));
    const Outcome outcome = Check();
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.message, Refusal("6.1.0.1"));
}

TEST(VersionQuery, WithoutThePresenceEventThePipeIsNotAsked)
{
    FakeProduct product(false, PIPE_ACCESS_DUPLEX, Answering(Reply(0x70000, "7.0")));
    ASSERT_TRUE(product.Ready());
    const Outcome outcome = Check();
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.message, "");
    EXPECT_EQ(product.Connections(), 0);
}

TEST(VersionQuery, AnEventWithoutPipeAllowsTheInstallation)
{
    fw::CKernelHandle event(CreateEventA(nullptr, TRUE, FALSE, SAMPLE_SERVER_EVENT));
    ASSERT_TRUE(event.valid());
    const Outcome outcome = Check();
    EXPECT_EQ(outcome.result, 0);
    EXPECT_LT(outcome.elapsedMs, 3000u);
}

TEST(VersionQuery, OlderAndNewerRepliesAndTheRequestOnTheWire)
{
    {
        FakeProduct older(true, PIPE_ACCESS_DUPLEX, Answering(Reply(0x60FFF, "6.0.15")));
        EXPECT_EQ(Check().result, 0);
        EXPECT_EQ(older.LastRequest(), std::string("\x07\x30\x00\x00", 4));
    }
    // The comparison is unsigned: a version with the top bit set is newer.
    FakeProduct huge(true, PIPE_ACCESS_DUPLEX, Answering(Reply(0x80000000u, "8")));
    const Outcome outcome = Check();
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.message, Refusal("8"));
}

TEST(VersionQuery, TheProductMayIdentifyTheSetupButNotActAsIt)
{
    // Anyone may serve a pipe of this name before the product does.
    PipeOpenFlags opens;
    std::atomic<int> level{-2};
    FakeProduct product(true, PIPE_ACCESS_DUPLEX, [&level](Session& session) {
        if (!session.Read(4))
            return;
        level = session.ClientLevel();
        session.Write(Reply(0x61001, "6.1.0.1"));
    });
    const Outcome outcome = Check();
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.message, Refusal("6.1.0.1"));
    ASSERT_EQ(opens.Count(), 1);
    EXPECT_EQ(opens.Last() & SECURITY_VALID_SQOS_FLAGS,
              static_cast<DWORD>(SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION));
    // Wine impersonates the server itself, at SecurityImpersonation, whatever
    // the client asked for; only Windows shows the level the setup allowed.
    EXPECT_EQ(level.load(), static_cast<int>(UnderWine() ? SecurityImpersonation : SecurityIdentification));
}

TEST(VersionQuery, AReplyCutShortKeepsWhatArrivedWhole)
{
    {
        // The version arrived, then the pipe closed: the version decides.
        FakeProduct product(true, PIPE_ACCESS_DUPLEX, Answering(Le32(0x61001)));
        const Outcome outcome = Check();
        EXPECT_EQ(outcome.result, 1);
        EXPECT_EQ(outcome.message, Refusal(""));
    }
    {
        // Half a version is no version.
        FakeProduct product(true, PIPE_ACCESS_DUPLEX, Answering(Le32(0x61001).substr(0, 2)));
        EXPECT_EQ(Check().result, 0);
    }
    {
        // A text shorter than announced is dropped, the version stands.
        FakeProduct product(true, PIPE_ACCESS_DUPLEX, Answering(Le32(0x61001) + Le32(10) + "6.1"));
        const Outcome outcome = Check();
        EXPECT_EQ(outcome.result, 1);
        EXPECT_EQ(outcome.message, Refusal(""));
    }
}

TEST(VersionQuery, AReplyInPiecesIsGathered)
{
    FakeProduct product(true, PIPE_ACCESS_DUPLEX, [](Session& session) {
        if (!session.Read(4))
            return;
        const std::string reply = Reply(0x61001, "6.1.0.1");
        for (char byte : reply) {
            session.Write(std::string(1, byte));
            Sleep(20);
        }
    });
    const Outcome outcome = Check();
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.message, Refusal("6.1.0.1"));
}

TEST(VersionQuery, ASilentProductCountsAsNotAnswering)
{
    {
        FakeProduct product(true, PIPE_ACCESS_DUPLEX, [](Session& session) { session.StaySilent(); });
        const Outcome outcome = Check();
        EXPECT_EQ(outcome.result, 0);
        EXPECT_LT(outcome.elapsedMs, 8000u);
    }
    // Silent after a newer version: that version still refuses.
    FakeProduct product(true, PIPE_ACCESS_DUPLEX, [](Session& session) {
        if (session.Read(4) && session.Write(Le32(0x61001)))
            session.StaySilent();
    });
    const Outcome outcome = Check();
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.message, Refusal(""));
}

TEST(VersionQuery, AnOversizedTextIsCutTo255Bytes)
{
    std::string text(1000, 'x');
    text[254] = 'y';
    text[255] = 'z';
    FakeProduct product(true, PIPE_ACCESS_DUPLEX, Answering(Reply(0x61001, text)));
    const Outcome outcome = Check();
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.message, Refusal(text.substr(0, 255)));
}

TEST(VersionQuery, DirectivesInTheSentTextStayPlainText)
{
    // The page formats the refusal once more with the product name.
    const std::string text = "6.2 %s%n%x%%";
    FakeProduct product(true, PIPE_ACCESS_DUPLEX, Answering(Reply(0x62000, text)));
    const Outcome outcome = Check();
    ASSERT_EQ(outcome.result, 1);
    EXPECT_EQ(fw::Format(outcome.message.c_str(), "Velloran"), Refusal(text));
}

TEST(VersionQuery, ABusyPipeIsWaitedForUpToTenSeconds)
{
    FakeProduct product(true, PIPE_ACCESS_DUPLEX, Answering(Reply(0x61001, "6.1.0.1")));
    {
        // The only instance is taken while the query starts, and freed later.
        fw::CFileHandle holder(CreateFileA(SAMPLE_SERVER_PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder.valid());
        std::thread release([&holder] {
            Sleep(1500);
            holder.reset();
        });
        const Outcome outcome = Check();
        release.join();
        EXPECT_EQ(outcome.result, 1);
        EXPECT_EQ(outcome.message, Refusal("6.1.0.1"));
        EXPECT_GE(outcome.elapsedMs, 1000u);
    }
    Sleep(500);
    // Taken for good: the query gives up and the installation may go on.
    fw::CFileHandle holder(
        CreateFileA(SAMPLE_SERVER_PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.valid());
    const Outcome outcome = Check();
    EXPECT_EQ(outcome.result, 0);
    EXPECT_GE(outcome.elapsedMs, 9000u);
    EXPECT_LT(outcome.elapsedMs, 14000u);
}

TEST(VersionQuery, APipeThatRefusesTheConnectionIsNotRetried)
{
    // An inbound-only pipe cannot be opened for reading and writing.
    FakeProduct product(true, PIPE_ACCESS_INBOUND, Answering(Reply(0x61001, "6.1.0.1")));
    ASSERT_TRUE(product.Ready());
    ASSERT_TRUE(WaitNamedPipeA(SAMPLE_SERVER_PIPE, 1000));
    fw::CFileHandle probe(
        CreateFileA(SAMPLE_SERVER_PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_FALSE(probe.valid());
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    const Outcome outcome = Check();
    EXPECT_EQ(outcome.result, 0);
    EXPECT_LT(outcome.elapsedMs, 3000u);
}
