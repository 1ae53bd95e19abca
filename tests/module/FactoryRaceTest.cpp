// Threads of several apartments ask a freshly loaded module for the same class
// object at the same moment. They must all get the one factory, and no thread
// may hold a factory reference that the module's lock count does not show.
#include "Authorization.h"
#include "ProcAddress.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <atomic>
#include <vector>

namespace {

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(WINAPI*)();

constexpr int kThreads = 8;  // even ones single-threaded apartments, odd ones the multithreaded one
constexpr int kLoads = 60;   // each fresh module races once for every class

const CLSID* const kClasses[] = {&CLSID_IKIVAuthorization, &CLSID_AuthorizationEx, &CLSID_KQSecRole,
                                 &CLSID_KQSecRolesCollection};

// What one thread saw in one race.
struct Outcome {
    HRESULT first = E_FAIL;
    IClassFactory* firstFactory = nullptr;  // compared only: it is released at once
    HRESULT canUnloadWhileHeld = E_FAIL;
    ULONG countAfterRelease = 0;  // the table's reference must remain
    HRESULT second = E_FAIL;
    IClassFactory* held = nullptr;  // released by the main thread
};

// Worker threads that start each race together: they spin on a generation
// number rather than wait on an event, which would wake them one by one.
class RacingThreads {
public:
    RacingThreads()
    {
        for (int i = 0; i < kThreads; ++i) {
            auto* start = new Start{this, i};
            HANDLE thread = CreateThread(nullptr, 0, &RacingThreads::Run, start, 0, nullptr);
            if (!thread) delete start;
            m_threads.push_back(thread);
        }
    }
    ~RacingThreads()
    {
        int running = 0;
        for (HANDLE thread : m_threads) running += thread ? 1 : 0;
        m_stop = true;
        WaitUntil(m_ready, running);
        ++m_generation;
        for (HANDLE thread : m_threads) {
            if (!thread) continue;
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
    }

    bool started() const
    {
        for (HANDLE thread : m_threads)
            if (!thread) return false;
        return true;
    }

    // Every thread asks for the class object of `clsid` once, all at once.
    const Outcome* Race(GetClassObjectFn getClassObject, CanUnloadNowFn canUnloadNow,
                        const CLSID& clsid)
    {
        m_getClassObject = getClassObject;
        m_canUnloadNow = canUnloadNow;
        m_clsid = &clsid;
        for (Outcome& outcome : m_outcomes) outcome = Outcome();
        WaitUntil(m_ready, kThreads);
        m_ready = 0;
        m_done = 0;
        ++m_generation;
        WaitUntil(m_done, kThreads);
        return m_outcomes;
    }

private:
    struct Start {
        RacingThreads* race;
        int index;
    };

    static void WaitUntil(const std::atomic<int>& counter, int value)
    {
        while (counter.load() != value) SwitchToThread();
    }

    static DWORD WINAPI Run(void* parameter)
    {
        Start start = *static_cast<Start*>(parameter);
        delete static_cast<Start*>(parameter);
        RacingThreads& self = *start.race;
        HRESULT com = CoInitializeEx(
            nullptr, start.index % 2 ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED);
        int seen = self.m_generation.load();
        for (;;) {
            ++self.m_ready;
            for (unsigned spins = 0; self.m_generation.load() == seen; ++spins) {
                if (spins % 4096 == 4095) SwitchToThread();  // two cores, more threads
            }
            seen = self.m_generation.load();
            if (self.m_stop) break;
            self.Ask(self.m_outcomes[start.index]);
            ++self.m_done;
        }
        if (SUCCEEDED(com)) CoUninitialize();
        return 0;
    }

    void Ask(Outcome& outcome)
    {
        IClassFactory* factory = nullptr;
        outcome.first =
            m_getClassObject(*m_clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
        outcome.firstFactory = factory;
        if (SUCCEEDED(outcome.first) && factory) {
            outcome.canUnloadWhileHeld = m_canUnloadNow();
            outcome.countAfterRelease = factory->Release();
        }
        outcome.second =
            m_getClassObject(*m_clsid, IID_IClassFactory, reinterpret_cast<void**>(&outcome.held));
    }

    std::vector<HANDLE> m_threads;
    std::atomic<int> m_generation{0};
    std::atomic<int> m_ready{0};
    std::atomic<int> m_done{0};
    std::atomic<bool> m_stop{false};
    GetClassObjectFn m_getClassObject = nullptr;
    CanUnloadNowFn m_canUnloadNow = nullptr;
    const CLSID* m_clsid = nullptr;
    Outcome m_outcomes[kThreads];
};

// One race on a fresh class: every thread has the one factory, counted, and
// once all is given back only the class table holds it.
void CheckRace(const Outcome* outcomes, GetClassObjectFn getClassObject,
               CanUnloadNowFn canUnloadNow, const CLSID& clsid)
{
    IClassFactory* factory = outcomes[0].held;
    ASSERT_NE(nullptr, factory);
    for (int i = 0; i < kThreads; ++i) {
        const Outcome& outcome = outcomes[i];
        SCOPED_TRACE(testing::Message() << "thread " << i);
        EXPECT_EQ(S_OK, outcome.first);
        EXPECT_EQ(factory, outcome.firstFactory);
        EXPECT_EQ(S_FALSE, outcome.canUnloadWhileHeld);
        EXPECT_GE(outcome.countAfterRelease, 1u);
        EXPECT_EQ(S_OK, outcome.second);
        EXPECT_EQ(factory, outcome.held);
    }
    EXPECT_EQ(S_FALSE, canUnloadNow());
    for (int i = 0; i < kThreads; ++i) {
        if (outcomes[i].held) {
            EXPECT_GE(outcomes[i].held->Release(), 1u);
        }
    }
    EXPECT_EQ(S_OK, canUnloadNow());

    IClassFactory* again = nullptr;
    ASSERT_EQ(S_OK, getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&again)));
    EXPECT_EQ(factory, again);
    EXPECT_EQ(S_FALSE, canUnloadNow());
    EXPECT_EQ(1u, again->Release());
    EXPECT_EQ(S_OK, canUnloadNow());
}

TEST(ClassFactoryRace, ThreadsOfEveryApartmentShareOneCountedFactory)
{
    ASSERT_EQ(nullptr, GetModuleHandleW(L"Authorization.dll"));
    RacingThreads threads;
    ASSERT_TRUE(threads.started());
    for (int load = 0; load < kLoads && !testing::Test::HasFailure(); ++load) {
        SCOPED_TRACE(testing::Message() << "load " << load);
        HMODULE module = LoadLibraryW(L"Authorization.dll");
        ASSERT_NE(nullptr, module);
        auto getClassObject = GetProcAddressAs<GetClassObjectFn>(module, "DllGetClassObject");
        auto canUnloadNow = GetProcAddressAs<CanUnloadNowFn>(module, "DllCanUnloadNow");
        ASSERT_NE(nullptr, getClassObject);
        ASSERT_NE(nullptr, canUnloadNow);
        for (const CLSID* clsid : kClasses) {
            CheckRace(threads.Race(getClassObject, canUnloadNow, *clsid), getClassObject,
                      canUnloadNow, *clsid);
            if (testing::Test::HasFailure()) break;
        }
        EXPECT_EQ(S_OK, canUnloadNow());
        EXPECT_TRUE(FreeLibrary(module));
        ASSERT_EQ(nullptr, GetModuleHandleW(L"Authorization.dll"));
    }
}

}  // namespace
