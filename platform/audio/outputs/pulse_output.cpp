#include "platform/audio/outputs/pulse_output.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>
#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/outputs/callback_watch.h"
#include "platform/audio/outputs/catch_up_watch.h"
#include "platform/audio/outputs/client_library.h"
#include "platform/audio/outputs/output_diagnostics.h"
#include "platform/audio/outputs/output_selection.h"
#include "platform/audio/outputs/pulse_stream_writer.h"
#include "platform/audio/outputs/server_socket.h"
#include "platform/audio/outputs/thread_priority.h"

namespace velmo {

namespace {

// The functions of libpulse.so.0 the output calls, found at run time.  The
// mainloop's timer is reached through its pa_mainloop_api table.
struct PulseApi {
  const char* (*get_library_version)();
  const char* (*strerror)(int);
  pa_threaded_mainloop* (*threaded_mainloop_new)();
  void (*threaded_mainloop_free)(pa_threaded_mainloop*);
  int (*threaded_mainloop_start)(pa_threaded_mainloop*);
  void (*threaded_mainloop_stop)(pa_threaded_mainloop*);
  void (*threaded_mainloop_lock)(pa_threaded_mainloop*);
  void (*threaded_mainloop_unlock)(pa_threaded_mainloop*);
  pa_mainloop_api* (*threaded_mainloop_get_api)(pa_threaded_mainloop*);
  void (*threaded_mainloop_set_name)(pa_threaded_mainloop*, const char*);
  pa_mainloop* (*mainloop_new)();
  void (*mainloop_free)(pa_mainloop*);
  pa_mainloop_api* (*mainloop_get_api)(pa_mainloop*);
  int (*mainloop_prepare)(pa_mainloop*, int);
  int (*mainloop_poll)(pa_mainloop*);
  int (*mainloop_dispatch)(pa_mainloop*);
  pa_proplist* (*proplist_new)();
  void (*proplist_free)(pa_proplist*);
  int (*proplist_sets)(pa_proplist*, const char*, const char*);
  pa_context* (*context_new_with_proplist)(pa_mainloop_api*, const char*, const pa_proplist*);
  void (*context_unref)(pa_context*);
  int (*context_connect)(pa_context*, const char*, pa_context_flags_t, const pa_spawn_api*);
  void (*context_disconnect)(pa_context*);
  void (*context_set_state_callback)(pa_context*, pa_context_notify_cb_t, void*);
  pa_context_state_t (*context_get_state)(const pa_context*);
  int (*context_errno)(const pa_context*);
  void (*context_set_subscribe_callback)(pa_context*, pa_context_subscribe_cb_t, void*);
  pa_operation* (*context_subscribe)(pa_context*, pa_subscription_mask_t, pa_context_success_cb_t, void*);
  pa_operation* (*context_get_sink_info_by_name)(pa_context*, const char*, pa_sink_info_cb_t, void*);
  pa_operation* (*context_get_sink_info_list)(pa_context*, pa_sink_info_cb_t, void*);
  pa_operation* (*context_get_server_info)(pa_context*, pa_server_info_cb_t, void*);
  pa_operation* (*context_move_sink_input_by_name)(pa_context*, uint32_t, const char*, pa_context_success_cb_t,
                                                   void*);
  void (*operation_unref)(pa_operation*);
  pa_stream* (*stream_new_with_proplist)(pa_context*, const char*, const pa_sample_spec*, const pa_channel_map*,
                                         pa_proplist*);
  void (*stream_unref)(pa_stream*);
  int (*stream_connect_playback)(pa_stream*, const char*, const pa_buffer_attr*, pa_stream_flags_t,
                                 const pa_cvolume*, pa_stream*);
  int (*stream_disconnect)(pa_stream*);
  void (*stream_set_state_callback)(pa_stream*, pa_stream_notify_cb_t, void*);
  void (*stream_set_write_callback)(pa_stream*, pa_stream_request_cb_t, void*);
  pa_stream_state_t (*stream_get_state)(const pa_stream*);
  uint32_t (*stream_get_index)(const pa_stream*);

  PulseWriteCalls writeCalls{};
};

// Why the library did not load, for VELMO_DEBUG=1; written once, before
// LoadPulse's first call returns.
std::string& LoadFailure() {
  static std::string why;
  return why;
}

// Loaded once per process and kept.  Null when it is not installed (or
// lacks a function: every one used is in PulseAudio 5.0 and later).
const PulseApi* LoadPulse() {
  static std::once_flag once;
  static PulseApi api{};
  static bool loaded = false;
  std::call_once(once, [] {
    ClientLibrary library("libpulse.so.0");
    library.Require(api.get_library_version, "pa_get_library_version");
    library.Require(api.strerror, "pa_strerror");
    library.Require(api.threaded_mainloop_new, "pa_threaded_mainloop_new");
    library.Require(api.threaded_mainloop_free, "pa_threaded_mainloop_free");
    library.Require(api.threaded_mainloop_start, "pa_threaded_mainloop_start");
    library.Require(api.threaded_mainloop_stop, "pa_threaded_mainloop_stop");
    library.Require(api.threaded_mainloop_lock, "pa_threaded_mainloop_lock");
    library.Require(api.threaded_mainloop_unlock, "pa_threaded_mainloop_unlock");
    library.Require(api.threaded_mainloop_get_api, "pa_threaded_mainloop_get_api");
    library.Require(api.threaded_mainloop_set_name, "pa_threaded_mainloop_set_name");
    library.Require(api.mainloop_new, "pa_mainloop_new");
    library.Require(api.mainloop_free, "pa_mainloop_free");
    library.Require(api.mainloop_get_api, "pa_mainloop_get_api");
    library.Require(api.mainloop_prepare, "pa_mainloop_prepare");
    library.Require(api.mainloop_poll, "pa_mainloop_poll");
    library.Require(api.mainloop_dispatch, "pa_mainloop_dispatch");
    library.Require(api.proplist_new, "pa_proplist_new");
    library.Require(api.proplist_free, "pa_proplist_free");
    library.Require(api.proplist_sets, "pa_proplist_sets");
    library.Require(api.context_new_with_proplist, "pa_context_new_with_proplist");
    library.Require(api.context_unref, "pa_context_unref");
    library.Require(api.context_connect, "pa_context_connect");
    library.Require(api.context_disconnect, "pa_context_disconnect");
    library.Require(api.context_set_state_callback, "pa_context_set_state_callback");
    library.Require(api.context_get_state, "pa_context_get_state");
    library.Require(api.context_errno, "pa_context_errno");
    library.Require(api.context_set_subscribe_callback, "pa_context_set_subscribe_callback");
    library.Require(api.context_subscribe, "pa_context_subscribe");
    library.Require(api.context_get_sink_info_by_name, "pa_context_get_sink_info_by_name");
    library.Require(api.context_get_sink_info_list, "pa_context_get_sink_info_list");
    library.Require(api.context_get_server_info, "pa_context_get_server_info");
    library.Require(api.context_move_sink_input_by_name, "pa_context_move_sink_input_by_name");
    library.Require(api.operation_unref, "pa_operation_unref");
    library.Require(api.stream_new_with_proplist, "pa_stream_new_with_proplist");
    library.Require(api.stream_unref, "pa_stream_unref");
    library.Require(api.stream_connect_playback, "pa_stream_connect_playback");
    library.Require(api.stream_disconnect, "pa_stream_disconnect");
    library.Require(api.stream_set_state_callback, "pa_stream_set_state_callback");
    library.Require(api.stream_set_write_callback, "pa_stream_set_write_callback");
    library.Require(api.stream_get_state, "pa_stream_get_state");
    library.Require(api.stream_get_index, "pa_stream_get_index");
    library.Require(api.writeCalls.beginWrite, "pa_stream_begin_write");
    library.Require(api.writeCalls.write, "pa_stream_write");
    library.Require(api.writeCalls.cancelWrite, "pa_stream_cancel_write");
    // A library that cannot be used stays loaded, and is never called.
    LoadFailure() = library.Failure();
    loaded = library.Usable();
  });
  return loaded ? &api : nullptr;
}

std::uint64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000 + static_cast<std::uint64_t>(now.tv_nsec);
}

constexpr std::uint64_t kTickNs = 20'000'000;  // the output's tick: every 20 ms
constexpr int kTicksPerReconnect = 12;          // a new context about every 250 ms
constexpr std::chrono::milliseconds kStallLimit{PulseOutput::kStallLimitMs};
// The most time made up for a stall: the limit, and the two ticks either
// side of it.
constexpr auto kMostUnmixed = kStallLimit + std::chrono::nanoseconds(2 * kTickNs);

// The time `ns` from now, as the mainloop's timer takes it: a time of day.
// (libpulse's own monotonic flag on a timeval is private to it.)  A clock
// set back while playing delays one tick by as much.
timeval TimeOfDayIn(std::uint64_t ns) {
  timeval now{};
  gettimeofday(&now, nullptr);
  const std::uint64_t usec = static_cast<std::uint64_t>(now.tv_usec) + ns / 1000;
  now.tv_sec += static_cast<time_t>(usec / 1'000'000);
  now.tv_usec = static_cast<suseconds_t>(usec % 1'000'000);
  return now;
}

const char* ProgramName() {
  const char* name = program_invocation_short_name;
  return name != nullptr && *name != '\0' ? name : "velmo-sound";
}

// Where the server's socket is when nothing says otherwise, as libpulse
// looks for it first: PULSE_RUNTIME_PATH, else XDG_RUNTIME_DIR/pulse.
std::string DefaultSocketPath() {
  const char* runtime = std::getenv("PULSE_RUNTIME_PATH");
  if (runtime != nullptr && *runtime != '\0') return std::string(runtime) + "/native";
  runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') return std::string(runtime) + "/pulse/native";
  return {};
}

// A context on a plain pa_mainloop of the caller's, run until `done` or a
// deadline: for the questions asked before any output opens (is there a
// server; which sinks).  The caller's `ask` runs once the context is ready.
struct ServerQuestion {
  const PulseApi* api = nullptr;
  pa_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  bool ready = false;
  bool failed = false;
  bool done = false;

  explicit ServerQuestion(const PulseApi* a) : api(a) {
    loop = api->mainloop_new();
    if (loop == nullptr) return;
    pa_proplist* props = api->proplist_new();
    api->proplist_sets(props, PA_PROP_APPLICATION_NAME, ProgramName());
    context = api->context_new_with_proplist(api->mainloop_get_api(loop), ProgramName(), props);
    api->proplist_free(props);
    if (context == nullptr) return;
    api->context_set_state_callback(context, &ServerQuestion::OnState, this);
    if (api->context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) failed = true;
  }
  ~ServerQuestion() {
    if (context != nullptr) {
      api->context_set_state_callback(context, nullptr, nullptr);
      api->context_disconnect(context);
      api->context_unref(context);
    }
    if (loop != nullptr) api->mainloop_free(loop);
  }
  static void OnState(pa_context* c, void* data) {
    auto* self = static_cast<ServerQuestion*>(data);
    const pa_context_state_t state = self->api->context_get_state(c);
    if (state == PA_CONTEXT_READY) self->ready = true;
    if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) self->failed = true;
  }
  // Runs the loop until `until` holds, the context fails or `ms` pass.
  template <typename Until>
  bool RunUntil(Until until, int ms) {
    if (loop == nullptr || context == nullptr) return false;
    const std::uint64_t deadline = MonotonicNs() + static_cast<std::uint64_t>(ms) * 1'000'000;
    while (!until() && !failed) {
      const std::uint64_t now = MonotonicNs();
      if (now >= deadline) return false;
      if (api->mainloop_prepare(loop, static_cast<int>((deadline - now) / 1000)) < 0) return false;
      if (api->mainloop_poll(loop) < 0) return false;
      if (api->mainloop_dispatch(loop) < 0) return false;
    }
    return until();
  }
  bool Connect(int ms) { return RunUntil([this] { return ready; }, ms); }
};

constexpr int kQuestionMs = 2000;  // a server that takes longer is not taken for one

}  // namespace

// Everything of one open output.  It all lives on the mainloop's thread, or
// with the mainloop's lock held (see pulse_output.h); nothing in it is
// shared otherwise.
struct PulseOutput::Connection {
  const PulseApi* api = nullptr;
  std::uint32_t rate = 0;
  PulseBufferFrames buffer;
  MixSource* source = nullptr;
  OutputEvents* events = nullptr;
  std::string target;   // the sink's name, or empty for the default
  std::string problem;  // why the first connection failed, for VELMO_DEBUG=1

  pa_threaded_mainloop* mainloop = nullptr;
  pa_time_event* timer = nullptr;
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;

  // Whether the write callback mixes (else it writes silence): false from
  // the tick that reports the loss until the one that reports the output
  // restored.
  bool active = true;
  bool lost = false;    // OnOutputLost reported, OnOutputRestored not yet
  bool broken = false;  // a callback saw the context or the stream fail
  int ticksUntilReconnect = 0;
  // What the server asked for: frames since the stream was made, at the
  // last tick, and the size of its last request.
  std::uint64_t framesAsked = 0;
  std::uint64_t seenFrames = 0;
  std::uint32_t lastRequestFrames = 0;
  std::uint64_t lastTickNs = 0;
  CallbackWatch requestWatch;  // framesAsked, and when it last moved, on the clock
  // Whether a lost stream's requests are live again.  A server that was held
  // up asks for a whole queue at once, and a new stream for its first fill:
  // time the device has kept (or, for the first fill, silence that is
  // played anyway).  PulseAudio does not stamp its requests with a time.
  CatchUpWatch catchUpWatch;
  bool askedSinceConnect = false;  // asked again after the stream's first fill
  // The chosen sink: whether the server has it (as last seen), and whether
  // a look for it is under way.  Starts present: the device was listed when
  // the output was made.
  bool targetPresent = true;
  bool targetLookPending = false;
  bool targetSeen = false;       // the look under way found it
  bool targetLookAgain = false;  // a sink came or went during the look

  std::vector<float> scratch;  // where the tick mixes the time it makes up
  bool priorityAsked = false;  // the mainloop thread's priority (the first tick)

  bool Connect();
  void MakeStream();
  void Disconnect();
  void MakeUpSilentTime();
  void LookForTarget();
  void Tick();

  static void OnContextState(pa_context* c, void* data);
  static void OnStreamState(pa_stream* s, void* data);
  static void OnWrite(pa_stream* s, size_t bytes, void* data);
  static void OnSinkEvent(pa_context* c, pa_subscription_event_type_t type, uint32_t index, void* data);
  static void OnTargetInfo(pa_context* c, const pa_sink_info* info, int eol, void* data);
  static void OnTick(pa_mainloop_api* a, pa_time_event* e, const timeval* tv, void* data);
};

// Mainloop thread, with libpulse's lock held: no lock, allocation or log of
// ours.  A request of a stream that is no longer the output's is left
// unanswered (it is being torn down).
void PulseOutput::Connection::OnWrite(pa_stream* s, size_t bytes, void* data) {
  auto* self = static_cast<Connection*>(data);
  if (s != self->stream) return;
  const std::size_t frames =
      WriteRequested(self->api->writeCalls, s, bytes, self->active ? self->source : nullptr, self->buffer.request);
  self->framesAsked += frames;
  self->lastRequestFrames = static_cast<std::uint32_t>(frames);
}

void PulseOutput::Connection::OnContextState(pa_context* c, void* data) {
  auto* self = static_cast<Connection*>(data);
  if (c != self->context) return;
  const pa_context_state_t state = self->api->context_get_state(c);
  if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
    if (self->problem.empty()) self->problem = self->api->strerror(self->api->context_errno(c));
    self->broken = true;
    return;
  }
  if (state != PA_CONTEXT_READY) return;
  if (self->target.empty()) {
    self->MakeStream();
    return;
  }
  // The chosen sink is watched for as long as the context lives; the stream
  // is made once the server has said whether it has the sink.
  self->api->context_set_subscribe_callback(c, &Connection::OnSinkEvent, self);
  if (pa_operation* op = self->api->context_subscribe(c, PA_SUBSCRIPTION_MASK_SINK, nullptr, nullptr))
    self->api->operation_unref(op);
  self->LookForTarget();
}

void PulseOutput::Connection::OnStreamState(pa_stream* s, void* data) {
  auto* self = static_cast<Connection*>(data);
  if (s != self->stream) return;
  const pa_stream_state_t state = self->api->stream_get_state(s);
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
    if (self->problem.empty()) self->problem = self->api->strerror(self->api->context_errno(self->context));
    self->broken = true;
  }
}

void PulseOutput::Connection::OnSinkEvent(pa_context* c, pa_subscription_event_type_t type, uint32_t, void* data) {
  auto* self = static_cast<Connection*>(data);
  if (c != self->context) return;
  const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK) return;
  if (kind == PA_SUBSCRIPTION_EVENT_NEW || kind == PA_SUBSCRIPTION_EVENT_REMOVE) self->LookForTarget();
}

// Asks the server whether it has the chosen sink.  One look at a time: an
// event that comes during a look asks for one more after it, so the last
// answer always follows the last change.
void PulseOutput::Connection::LookForTarget() {
  if (targetLookPending) {
    targetLookAgain = true;
    return;
  }
  pa_operation* op = api->context_get_sink_info_by_name(context, target.c_str(), &Connection::OnTargetInfo, this);
  if (op == nullptr) return;
  api->operation_unref(op);
  targetLookPending = true;
  targetSeen = false;
}

void PulseOutput::Connection::OnTargetInfo(pa_context* c, const pa_sink_info* info, int eol, void* data) {
  auto* self = static_cast<Connection*>(data);
  if (c != self->context) return;
  if (info != nullptr && eol == 0) {
    self->targetSeen = true;
    return;
  }
  // The end of the answer (eol 1), or a refusal (eol -1: no such sink).
  self->targetLookPending = false;
  const bool present = self->targetSeen;
  if (present != self->targetPresent) {
    self->targetPresent = present;
    if (present) {
      ReportChosenDeviceBack(self->target);
    } else {
      ReportChosenDeviceGone(self->target);
    }
  }
  if (self->stream == nullptr) {
    self->MakeStream();
  } else if (present) {
    // Back on it, if the server moved the stream away; moving a stream to
    // the sink it is on does nothing.
    if (pa_operation* op = self->api->context_move_sink_input_by_name(c, self->api->stream_get_index(self->stream),
                                                                      self->target.c_str(), nullptr, nullptr))
      self->api->operation_unref(op);
  }
  if (self->targetLookAgain) {
    self->targetLookAgain = false;
    self->LookForTarget();
  }
}

// A new context, connecting; the stream follows once it is ready.
bool PulseOutput::Connection::Connect() {
  pa_mainloop_api* loopApi = api->threaded_mainloop_get_api(mainloop);
  pa_proplist* props = api->proplist_new();
  api->proplist_sets(props, PA_PROP_APPLICATION_NAME, ProgramName());
  context = api->context_new_with_proplist(loopApi, ProgramName(), props);
  api->proplist_free(props);
  if (context == nullptr) {
    problem = "pa_context_new_with_proplist failed";
    return false;
  }
  api->context_set_state_callback(context, &Connection::OnContextState, this);
  // No autospawn: a server that is not running is waited for, never started
  // by a library inside a game.
  if (api->context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    problem = std::string("pa_context_connect: ") + api->strerror(api->context_errno(context));
    Disconnect();
    return false;
  }
  return true;
}

// Context ready (and the chosen sink looked for): the playback stream.
void PulseOutput::Connection::MakeStream() {
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, rate, 2};
  pa_proplist* props = api->proplist_new();
  api->proplist_sets(props, PA_PROP_MEDIA_ROLE, "game");
  api->proplist_sets(props, PA_PROP_APPLICATION_NAME, ProgramName());
  // What tells this stream from SDL's of the same program (pactl list
  // sink-inputs shows it).
  api->proplist_sets(props, PA_PROP_MEDIA_SOFTWARE, "Velmo Sound");
  stream = api->stream_new_with_proplist(context, "Velmo Sound", &spec, nullptr, props);
  api->proplist_free(props);
  if (stream == nullptr) {
    if (problem.empty()) problem = std::string("pa_stream_new: ") + api->strerror(api->context_errno(context));
    broken = true;
    return;
  }
  api->stream_set_state_callback(stream, &Connection::OnStreamState, this);
  api->stream_set_write_callback(stream, &Connection::OnWrite, this);
  pa_buffer_attr attr{};
  attr.tlength = static_cast<std::uint32_t>(buffer.target * kPulseFrameBytes);
  attr.minreq = static_cast<std::uint32_t>(buffer.request * kPulseFrameBytes);
  attr.prebuf = attr.tlength;
  attr.maxlength = 4 * attr.tlength;
  attr.fragsize = static_cast<std::uint32_t>(-1);
  framesAsked = seenFrames = 0;
  lastRequestFrames = 0;
  lastTickNs = MonotonicNs();
  requestWatch.Reset(0, std::chrono::steady_clock::now());
  askedSinceConnect = false;
  const char* sink = !target.empty() && targetPresent ? target.c_str() : nullptr;
  if (api->stream_connect_playback(stream, sink, &attr, PA_STREAM_ADJUST_LATENCY, nullptr, nullptr) < 0) {
    if (problem.empty())
      problem = std::string("pa_stream_connect_playback: ") + api->strerror(api->context_errno(context));
    broken = true;
  }
}

// Tears down the stream and the context; their callbacks are withdrawn
// first, so none of them runs for this output again.
void PulseOutput::Connection::Disconnect() {
  if (stream != nullptr) {
    api->stream_set_write_callback(stream, nullptr, nullptr);
    api->stream_set_state_callback(stream, nullptr, nullptr);
    api->stream_disconnect(stream);
    api->stream_unref(stream);
    stream = nullptr;
  }
  if (context != nullptr) {
    api->context_set_state_callback(context, nullptr, nullptr);
    api->context_set_subscribe_callback(context, nullptr, nullptr);
    api->context_disconnect(context);
    api->context_unref(context);
    context = nullptr;
  }
  targetLookPending = targetLookAgain = false;
}

// Nothing was mixed from the server's last request until the loss was
// seen: up to half a second for a stalled server.  That time is mixed now,
// into nothing, before the device keeps time itself, so that the music
// carries on where it would be had it been heard.  It is measured on the
// clock from the tick that last saw a request (CallbackWatch::Unmixed), not
// counted in ticks: a mainloop that runs late still makes up all of it.
void PulseOutput::Connection::MakeUpSilentTime() {
  if (!askedSinceConnect || lost) return;
  const auto unmixed = requestWatch.Unmixed(framesAsked, std::chrono::steady_clock::now(), kMostUnmixed);
  const auto frames = static_cast<std::size_t>(
      static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(unmixed).count()) * rate /
      1'000'000'000);
  for (std::size_t done = 0; done < frames; done += buffer.request)
    source->Render(scratch.data(), std::min<std::size_t>(buffer.request, frames - done));
}

void PulseOutput::Connection::Tick() {
  if (broken) {
    active = false;
    MakeUpSilentTime();
    Disconnect();
    broken = false;
    ticksUntilReconnect = kTicksPerReconnect;
    if (!lost) {
      lost = true;
      catchUpWatch.Reset();
      events->OnOutputLost();
    }
    return;
  }
  if (context == nullptr) {
    if (--ticksUntilReconnect <= 0 && !Connect()) ticksUntilReconnect = kTicksPerReconnect;
    return;
  }
  if (stream == nullptr) return;  // the context is still connecting
  const auto clock = std::chrono::steady_clock::now();
  const std::uint64_t now = MonotonicNs();
  const std::uint64_t frames = framesAsked - seenFrames;
  const std::uint64_t elapsedNs = now - lastTickNs;
  seenFrames = framesAsked;
  lastTickNs = now;
  if (requestWatch.Look(framesAsked, clock)) {
    // The first request fills the stream's queue before anything plays; a
    // sink that sleeps (PulseAudio's null sink, idle, sleeps up to 2 s at a
    // time) may take long to start on it.  The server is known to play once
    // it has asked for more than that fill.
    if (framesAsked > buffer.target) askedSinceConnect = true;
    if (lost && catchUpWatch.Live(FramesToNs(frames, rate), elapsedNs,
                                  FramesToNs(std::max(lastRequestFrames, buffer.request), rate), std::nullopt)) {
      lost = false;
      events->OnOutputRestored();
      active = true;
    }
    return;
  }
  // Connected, asked before, and silent since: a stalled server.  A stream
  // never asked yet is still being set up, and is left to it.
  if (askedSinceConnect && !lost && requestWatch.SinceProgress(clock) >= kStallLimit) {
    active = false;
    MakeUpSilentTime();
    lost = true;
    catchUpWatch.Reset();
    events->OnOutputLost();
  }
}

void PulseOutput::Connection::OnTick(pa_mainloop_api* a, pa_time_event* e, const timeval*, void* data) {
  auto* self = static_cast<Connection*>(data);
  if (!self->priorityAsked) {
    // The first tick, on the mainloop's thread, before the stream's first
    // request is answered: the write callback runs on this thread.
    self->priorityAsked = true;
    std::string refused;
    if (RaiseThisThreadsPriority(&refused) != ThreadPriority::kRealTime && OutputDebugWanted())
      WriteDiagnostic("velmo: the pulseaudio output's thread runs without real-time priority (" + refused + ")");
  }
  self->Tick();
  const timeval next = TimeOfDayIn(kTickNs);
  a->time_restart(e, &next);
}

PulseOutput::PulseOutput(std::uint32_t rate, std::uint32_t latencyMs, std::string target)
    : rate_(rate),
      buffer_(PulseBufferFor(rate, latencyMs != 0 ? latencyMs : kDefaultLatencyMs)),
      target_(std::move(target)) {}

PulseOutput::~PulseOutput() { Close(); }

bool PulseOutput::Open(MixSource& source, OutputEvents& events) {
  if (connection_) return false;
  const PulseApi* api = LoadPulse();
  if (api == nullptr) {
    ReportOutputFailure("pulseaudio", LoadFailure());
    return false;
  }
  auto connection = std::make_unique<Connection>();
  Connection* c = connection.get();
  c->api = api;
  c->rate = rate_;
  c->buffer = buffer_;
  c->scratch.resize(2 * static_cast<std::size_t>(buffer_.request));
  c->target = target_;
  c->source = &source;
  c->events = &events;
  c->mainloop = api->threaded_mainloop_new();
  if (c->mainloop == nullptr) {
    ReportOutputFailure("pulseaudio", "pa_threaded_mainloop_new failed");
    return false;
  }
  api->threaded_mainloop_set_name(c->mainloop, "velmo-pulse");
  bool ok = c->Connect();
  if (ok) {
    const timeval first = TimeOfDayIn(kTickNs);
    pa_mainloop_api* loopApi = api->threaded_mainloop_get_api(c->mainloop);
    c->timer = loopApi->time_new(loopApi, &first, &Connection::OnTick, c);
    ok = c->timer != nullptr;
  }
  if (ok) ok = api->threaded_mainloop_start(c->mainloop) >= 0;
  if (!ok) {
    ReportOutputFailure("pulseaudio", c->problem.empty() ? std::string("its mainloop did not start") : c->problem);
    c->Disconnect();
    if (c->timer != nullptr) api->threaded_mainloop_get_api(c->mainloop)->time_free(c->timer);
    api->threaded_mainloop_free(c->mainloop);
    return false;
  }
  connection_ = std::move(connection);
  return true;
}

void PulseOutput::Close() {
  if (!connection_) return;
  Connection* c = connection_.get();
  const PulseApi* api = c->api;
  api->threaded_mainloop_lock(c->mainloop);
  c->active = false;
  c->Disconnect();
  api->threaded_mainloop_get_api(c->mainloop)->time_free(c->timer);
  api->threaded_mainloop_unlock(c->mainloop);
  api->threaded_mainloop_stop(c->mainloop);
  api->threaded_mainloop_free(c->mainloop);
  connection_.reset();
}

namespace {

// Whether a server answers, and if not why, in a few words.  With
// PULSE_SERVER unset, the socket first: on a machine without a server the
// library is never loaded.  PULSE_SERVER may name a server anywhere (a
// path, a host): then a context is connected to it.
std::string WhyPulseDoesNotAnswerOrEmpty() {
  const char* named = std::getenv("PULSE_SERVER");
  if (named == nullptr || *named == '\0') {
    const std::string path = DefaultSocketPath();
    if (path.empty()) return "no runtime folder (XDG_RUNTIME_DIR) to find its socket in";
    if (std::string why = WhyServerSocketDoesNotAnswer(path); !why.empty()) return why;
    if (LoadPulse() == nullptr) return LoadFailure();
    return {};
  }
  const PulseApi* api = LoadPulse();
  if (api == nullptr) return LoadFailure();
  ServerQuestion question(api);
  if (!question.Connect(kQuestionMs)) return "no server answers at " + PrintableText(named);
  return {};
}

}  // namespace

bool PulseServerAnswers() { return WhyPulseDoesNotAnswerOrEmpty().empty(); }

std::string WhyPulseDoesNotAnswer() {
  std::string why = WhyPulseDoesNotAnswerOrEmpty();
  return why.empty() ? "the server answers" : why;
}

namespace {

struct SinkListing {
  std::vector<AudioDevice> devices;
  std::string defaultSink;
  int answers = 0;  // of the two questions
};

}  // namespace

std::vector<AudioDevice> ListPulseSinks() {
  if (!PulseServerAnswers()) {
    if (OutputDebugWanted()) ReportOutputFailure("pulseaudio", WhyPulseDoesNotAnswer());
    return {};
  }
  const PulseApi* api = LoadPulse();
  ServerQuestion question(api);
  if (!question.Connect(kQuestionMs)) return {};
  SinkListing listing;
  const auto onServer = [](pa_context*, const pa_server_info* info, void* data) {
    auto* l = static_cast<SinkListing*>(data);
    if (info != nullptr && info->default_sink_name != nullptr) l->defaultSink = info->default_sink_name;
    ++l->answers;
  };
  const auto onSink = [](pa_context*, const pa_sink_info* info, int eol, void* data) {
    auto* l = static_cast<SinkListing*>(data);
    if (eol != 0) {
      ++l->answers;
      return;
    }
    if (info == nullptr || info->name == nullptr) return;
    const char* description = info->description != nullptr && *info->description != '\0' ? info->description : info->name;
    l->devices.push_back({info->name, description, false});
  };
  int asked = 0;
  for (pa_operation* op : {api->context_get_server_info(question.context, onServer, &listing),
                           api->context_get_sink_info_list(question.context, onSink, &listing)}) {
    if (op == nullptr) continue;
    ++asked;
    api->operation_unref(op);
  }
  // A server that stops answering leaves the list as far as it got.
  question.RunUntil([&] { return listing.answers >= asked; }, kQuestionMs);
  for (AudioDevice& device : listing.devices) device.isDefault = device.name == listing.defaultSink;
  return listing.devices;
}

std::unique_ptr<AudioOutput> CreatePulseOutput(std::uint32_t rate, std::uint32_t latencyMs, const std::string& target) {
  return std::make_unique<PulseOutput>(rate, latencyMs, target);
}

}  // namespace velmo
