// The apartment of the thread that made it, as a place to which other
// threads send work: what lives in a single-threaded apartment is called,
// and released, on that apartment's thread only. Such a thread gets a
// message-only window of its own, whose messages its message loop
// dispatches; the multithreaded apartment runs work on the thread that
// hands it over.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

class ApartmentHome {
public:
    // The calling thread's apartment. Throws std::bad_alloc. A window that
    // cannot be made gives a home that runs work where it is handed over.
    static std::shared_ptr<ApartmentHome> OfThisThread();

    ApartmentHome(const ApartmentHome&) = delete;
    ApartmentHome& operator=(const ApartmentHome&) = delete;
    ~ApartmentHome();

    // Runs work in this apartment: at once on the apartment's own thread (or
    // in the multithreaded apartment), else posted to that thread, which
    // runs it the next time it dispatches messages. Work that cannot be
    // posted (no memory, or the thread has gone and its apartment with it)
    // runs at once all the same: nobody else could run it.
    void Run(std::function<void()> work) noexcept;

    // Whether the calling thread is the one that made this home.
    bool IsCurrentThread() const noexcept { return GetCurrentThreadId() == m_thread; }

private:
    ApartmentHome(HWND window, DWORD thread) noexcept : m_window(window), m_thread(thread) {}
    // Hands work to the window's thread; false, with work as it was, when
    // it cannot.
    bool Post(std::function<void()>& work) noexcept;

    HWND m_window;  // null: work runs where it is handed over
    DWORD m_thread;
};
