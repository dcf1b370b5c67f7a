#include "platform/audio/outputs/output_status.h"

#include <mutex>

namespace velmo {

namespace {

struct Board {
  std::mutex mutex;
  const void* owner = nullptr;  // the device whose state this is, or null
  AudioOutputState state;
};

// Never destroyed: an output's thread may note a change while static
// destructors run elsewhere.
Board& TheBoard() {
  static auto* board = new Board;
  return *board;
}

}  // namespace

void PublishOutputStatus(const void* owner, const AudioOutputState& state) {
  Board& board = TheBoard();
  std::lock_guard<std::mutex> guard(board.mutex);
  board.owner = owner;
  board.state = state;
}

void WithdrawOutputStatus(const void* owner) {
  Board& board = TheBoard();
  std::lock_guard<std::mutex> guard(board.mutex);
  if (board.owner != owner) return;
  board.owner = nullptr;
  board.state = AudioOutputState{};
}

void NoteOutputConnected(const void* owner, bool connected) {
  Board& board = TheBoard();
  std::lock_guard<std::mutex> guard(board.mutex);
  if (board.owner == owner) board.state.connected = connected;
}

void NoteChosenDeviceAway(bool away) {
  Board& board = TheBoard();
  std::lock_guard<std::mutex> guard(board.mutex);
  if (board.owner != nullptr && !board.state.device.empty()) board.state.onDefaultDevice = away;
}

void NoteOutputCycleFrames(std::uint32_t frames) {
  Board& board = TheBoard();
  std::lock_guard<std::mutex> guard(board.mutex);
  if (board.owner != nullptr && frames != 0 && board.state.rate != 0)
    board.state.latencyMs = 1000.0 * frames / board.state.rate;
}

AudioOutputState GetAudioOutputState() {
  Board& board = TheBoard();
  std::lock_guard<std::mutex> guard(board.mutex);
  return board.state;
}

}  // namespace velmo
