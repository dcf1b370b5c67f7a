// Message boxes, debugger output, the atomic exchange and sleeping.
#pragma once

#include <atomic>

#include "velmo/platform/platform.h"

namespace velmo {

// Message box styles.
constexpr UINT MB_OK = 0x0;
constexpr UINT MB_ICONHAND = 0x10;
constexpr UINT MB_ICONERROR = MB_ICONHAND;
constexpr int IDOK = 1;

inline int MessageBoxA(HWND owner, const char* text, const char* caption, UINT style) {
  return CurrentPlatform().MessageBoxA(owner, text, caption, style);
}
inline void OutputDebugStringA(const char* line) { CurrentPlatform().OutputDebugStringA(line); }
inline void Sleep(DWORD milliseconds) { CurrentPlatform().Sleep(milliseconds); }

// A 32-bit word shared between threads and changed by atomic exchange.
using InterlockedWord = std::atomic<LONG>;

// Stores `value` in `target` and returns the value it held, as one atomic
// step with full ordering.
inline LONG InterlockedExchange(InterlockedWord* target, LONG value) {
  return target->exchange(value, std::memory_order_seq_cst);
}

// Where the real platform's message boxes go.  The window hands in one that
// shows a modal box on its own window; until then boxes are written to
// standard error.
class MessageBoxSink {
 public:
  virtual ~MessageBoxSink() = default;
  // Shows the box and returns the button pressed (IDOK).
  virtual int Show(HWND owner, const char* text, const char* caption, UINT style) = 0;
};

// Installs `sink` (null: back to standard error) and returns the previous one.
MessageBoxSink* SetMessageBoxSink(MessageBoxSink* sink);

}  // namespace velmo
