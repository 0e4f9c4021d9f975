#pragma once
// Per-thread message queues and hidden windows.
//
// A window is a 32-bit id owned by the thread that created it. Messages posted to a
// window wait in the owner's queue until the owner pumps (ProcessMessages, PeekMessage,
// GetMessage, RunMessageLoop or one of the pumping waits). Sent messages block the sender
// until the owner has run the window procedure; a send from the owning thread itself runs
// the procedure at once. Sent messages are delivered whenever the owner pumps, also from
// inside a handler that pumps, and before any posted message.
//
// Guarantees:
// - A message for a window that was destroyed in the meantime is dropped, never delivered.
// - A SendMessageTimeout that times out before its procedure started is withdrawn: the
//   procedure never runs later, so lParam may point at the sender's stack.
// - When the procedure has already started at the moment the time-out runs out, the sender
//   waits for it to finish and returns its real result (success). The procedure therefore
//   never touches sender memory that is gone. With SMTO_LEAVERUNNING the sender returns
//   false at the time-out all the same and the procedure finishes by itself: it keeps the
//   wParam and lParam it was given (they must not point at memory the sender may free) and
//   its result is dropped; the sender may learn when it has returned (SendFinished).
// - While a thread waits for the answer to its own send it handles sends addressed to it
//   (so two threads sending to each other do not deadlock), unless SMTO_BLOCK is given.
// - Window ids count upwards and are not reused until the 32-bit counter wraps.
// - When a thread ends, its windows are destroyed and pending sends to them fail.
//
// MessageQueueFd() gives a file descriptor that becomes readable while the calling thread's
// queue may have work (a message posted or sent, a quit, a timer due); another event loop
// watches it and calls ProcessMessages() when it fires.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

using HWND = std::uint32_t;
using UINT = std::uint32_t;
using DWORD = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

using WNDPROC = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_QUIT = 0x0012;  // 18
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;

constexpr DWORD INFINITE = 0xFFFFFFFFu;

// Flags of SendMessageTimeout.
constexpr UINT SMTO_NORMAL = 0x0000;
constexpr UINT SMTO_BLOCK = 0x0001;         // do not handle sends to this thread while waiting
constexpr UINT SMTO_ABORTIFHUNG = 0x0002;   // accepted; a hung owner simply runs into the time-out
constexpr UINT SMTO_LEAVERUNNING = 0x0100;  // on time-out, do not wait for a procedure that has started

struct MSG {
  HWND hwnd = 0;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  DWORD time = 0;  // GetTickCount() when the message was queued
};

// Window classes (process-wide). RegisterClass is false when the name is already registered
// (the existing class stays). UnregisterClass is false when unknown; existing windows of the
// class keep their procedure.
bool RegisterClass(std::string_view className, WNDPROC proc);
bool UnregisterClass(std::string_view className);
bool IsClassRegistered(std::string_view className);

// Creates a hidden window of the class, owned by the calling thread; 0 when the class is unknown.
HWND CreateWindow(std::string_view className, void* userData = nullptr);
// Destroys the window: pending posted messages for it are dropped and pending sends to it
// fail. Allowed from any thread; a procedure of the window that runs at this moment finishes.
bool DestroyWindow(HWND hwnd);
bool IsWindow(HWND hwnd);
void* GetWindowUserData(HWND hwnd);
void SetWindowUserData(HWND hwnd, void* userData);
// Thread id (GetCurrentThreadId() of the owner) of the window, 0 when no such window.
DWORD GetWindowThreadId(HWND hwnd);
// The default processing of a message: does nothing, returns 0.
LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Queues the message for the window's owner. False when the window does not exist.
bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Queues a message for a thread (hwnd 0 in the MSG); false when that thread has no queue
// (the calling thread and the window thread always have one).
bool PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam);
// Runs the window procedure on the owning thread and returns its result; blocks without
// limit. 0 when the window does not exist or is destroyed before its procedure ran.
LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// As SendMessage, but gives up after timeoutMs (INFINITE: no limit). True and *result set
// when the procedure ran; false on time-out or when the window does not exist (or vanished
// before the procedure ran). See the guarantees above for a time-out during the procedure.
bool SendMessageTimeout(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, DWORD timeoutMs, LRESULT* result);
bool SendMessageTimeout(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags, DWORD timeoutMs,
                        LRESULT* result);
// Of a procedure that a send with SMTO_LEAVERUNNING left running: true once it has returned.
// Shared with the thread that runs it, so either side may finish first.
using SendFinished = std::shared_ptr<const std::atomic<bool>>;
// As above; *leftRunning is set when the procedure was left running, else reset.
bool SendMessageTimeout(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags, DWORD timeoutMs,
                        LRESULT* result, SendFinished* leftRunning);
// As above, with a tag: an address (not null) that names this send to the code it reaches.
// For as long as the procedure runs, on whatever thread, that thread finds the tag with
// InSendMessageTagged and SendMessageTag; its own pumps may take the sends of one tag alone
// (DeliverSendsTagged).
bool SendMessageTimeout(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags, DWORD timeoutMs,
                        LRESULT* result, SendFinished* leftRunning, const void* tag);

// Window timers: WM_TIMER (wParam = id, lParam = 0) is delivered on the window's owning
// thread every intervalMs while it pumps; at most one WM_TIMER per timer is pending.
// Setting an existing (hwnd, id) again restarts it with the new interval.
bool SetTimer(HWND hwnd, UINT id, DWORD intervalMs);
bool KillTimer(HWND hwnd, UINT id);

// Asks the calling thread's message loop to end: GetMessage returns false with this code
// once the posted messages before it are handled.
void PostQuitMessage(int exitCode);

// Takes at most one message of the calling thread: first every pending sent message is
// handled (their procedures run inside this call), then one posted message, a pending quit
// (WM_QUIT, wParam = exit code) or a due timer is taken. With remove false the message
// stays queued (a timer stays due). False when none.
bool PeekMessage(MSG* msg, bool remove = true);
// Runs the window procedure for a taken message; WM_QUIT and messages for windows that no
// longer exist are ignored (result 0).
LRESULT DispatchMessage(const MSG& msg);
// Waits for a message (handling sends meanwhile); false when it is WM_QUIT (removed, its
// exit code in msg->wParam).
bool GetMessage(MSG* msg);
// GetMessage/DispatchMessage until WM_QUIT; returns the exit code.
int RunMessageLoop();
// Handles everything pending for the calling thread (sends, posted messages, due timers).
// A quit stays pending for the message loop; then the result is false, otherwise true.
bool ProcessMessages();
// Waits until the calling thread has something pending (a sent or posted message, a quit,
// a due timer) or timeoutMs ran out; handles nothing. True when something is pending.
bool MsgWaitForMessages(DWORD timeoutMs);
// True when the calling thread has something pending (see MsgWaitForMessages).
bool HasPendingMessages();

// Pumping wait: handles every message of the calling thread (as ProcessMessages) until the
// condition holds or timeoutMs ran out; the condition is tested after each round. A quit
// stays pending and does not end the wait. True when the condition held.
// The condition must not block. Wake() (below) lets another thread make the waiter look
// at its condition at once.
bool PumpUntil(const std::function<bool()>& condition, DWORD timeoutMs);
// Makes a PumpUntil or MsgWaitForMessages of the given thread re-test at once.
void WakeThread(DWORD threadId);

// A descriptor (epoll) that is readable while the calling thread's queue may have work.
// Created on the first call, owned by the queue; the same value on later calls.
// Spurious readiness is possible; ProcessMessages() clears it.
int MessageQueueFd();

// Thread id of the thread whose sent message the calling thread is handling at this moment
// (the innermost one when they nest), 0 while it handles none.
DWORD InSendMessageFrom();
// True while the calling thread runs the procedure of a send with this tag (at any depth
// when the procedures of sends nest).
bool InSendMessageTagged(const void* tag);
// The tag of the tagged send whose procedure the calling thread runs, counted from the
// innermost (depth 0); null past the outermost.
const void* SendMessageTag(std::size_t depth);
// Handles the pending sends to the calling thread that carry this tag, and nothing else (the
// other sends stay queued in their order); true when one was handled.
bool DeliverSendsTagged(const void* tag);

// The window thread: the thread that Synchronize() and OnTerminate run on. It is the thread
// that last called SetMainThread(), and until one did, the process's initial thread.
void SetMainThread();
bool IsMainThread();
DWORD MainThreadId();

// Runs fn on the window thread and waits for it; it runs when the window thread pumps
// (any pumping call, a TThread::WaitFor there included). On the window thread it runs at
// once. An exception thrown by fn is passed on to the caller.
void RunOnMainThread(const std::function<void()>& fn);
// Queues fn to run on the window thread without waiting (at its next pump).
void QueueOnMainThread(std::function<void()> fn);
