#include "platform/audio/outputs/pipewire_output.h"

#include <errno.h>
#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/outputs/callback_watch.h"
#include "platform/audio/outputs/catch_up_watch.h"
#include "platform/audio/outputs/client_library.h"
#include "platform/audio/outputs/output_diagnostics.h"
#include "platform/audio/outputs/output_selection.h"
#include "platform/audio/outputs/output_status.h"
#include "platform/audio/outputs/server_socket.h"
#include "platform/audio/outputs/sink_target_watch.h"

namespace velmo {

namespace {

// The few functions of libpipewire-0.3 the output calls, found at run time.
// Everything else it uses (the loop's timer, the core's listener, building
// the format) is inline in PipeWire's headers and calls through the
// objects' own method tables.
struct PipeWireApi {
  void (*init)(int*, char***);
  pw_thread_loop* (*thread_loop_new)(const char*, const spa_dict*);
  void (*thread_loop_destroy)(pw_thread_loop*);
  pw_loop* (*thread_loop_get_loop)(pw_thread_loop*);
  int (*thread_loop_start)(pw_thread_loop*);
  void (*thread_loop_stop)(pw_thread_loop*);
  void (*thread_loop_lock)(pw_thread_loop*);
  void (*thread_loop_unlock)(pw_thread_loop*);
  pw_context* (*context_new)(pw_loop*, pw_properties*, size_t);
  void (*context_destroy)(pw_context*);
  pw_core* (*context_connect)(pw_context*, pw_properties*, size_t);
  int (*core_disconnect)(pw_core*);
  pw_properties* (*properties_new)(const char*, ...);
  int (*properties_set)(pw_properties*, const char*, const char*);
  pw_stream* (*stream_new)(pw_core*, const char*, pw_properties*);
  void (*stream_destroy)(pw_stream*);
  void (*stream_add_listener)(pw_stream*, spa_hook*, const pw_stream_events*, void*);
  int (*stream_connect)(pw_stream*, spa_direction, uint32_t, pw_stream_flags, const spa_pod**, uint32_t);
  const char* (*get_library_version)();
  pw_buffer* (*stream_dequeue_buffer)(pw_stream*);
  int (*stream_queue_buffer)(pw_stream*, pw_buffer*);
  void (*thread_loop_signal)(pw_thread_loop*, bool);
  int (*thread_loop_timed_wait)(pw_thread_loop*, int);
  void (*proxy_destroy)(pw_proxy*);
  // Optional (counts late cycles when there): from 0.3.50, as `requested`.
  int (*stream_get_time_n)(pw_stream*, pw_time*, size_t) = nullptr;

  const char* clientConfig = nullptr;  // PipeWireClientConfig of the library's version
};

// Why the library did not load, for VELMO_DEBUG=1; written once, before
// LoadPipeWire's first call returns.
std::string& LoadFailure() {
  static std::string why;
  return why;
}

// A version as pw_get_library_version gives it, "MAJOR.MINOR.MICRO", as one
// number to compare (each part below 1000); 0 when it is not one.
std::uint64_t VersionNumber(const char* version) {
  if (version == nullptr) return 0;
  std::uint64_t number = 0;
  const char* p = version;
  for (int part = 0; part < 3; ++part) {
    if (part > 0 && *p++ != '.') return 0;
    if (*p < '0' || *p > '9') return 0;
    std::uint64_t value = 0;
    while (*p >= '0' && *p <= '9' && value < 1000) value = value * 10 + static_cast<std::uint64_t>(*p++ - '0');
    if (value >= 1000) return 0;
    number = number * 1000 + value;
  }
  // A suffix after the three numbers (a distribution's, a git build's) is
  // no part of the version.
  return number;
}

constexpr std::uint64_t Version(std::uint64_t major, std::uint64_t minor, std::uint64_t micro) {
  return (major * 1000 + minor) * 1000 + micro;
}

}  // namespace

std::string PipeWireLibraryUnfit(const char* version) {
  const std::uint64_t number = VersionNumber(version);
  if (number == 0)
    return std::string("libpipewire-0.3.so.0 gives its version as \"") + PrintableText(version != nullptr ? version : "") +
           "\", which is no version this output knows";
  if (number < Version(0, 3, 50))
    return "libpipewire " + PrintableText(version) + " is older than 0.3.50, the first that tells a stream how much to play";
  return {};
}

const char* PipeWireClientConfig(const char* version) {
  return VersionNumber(version) >= Version(1, 3, 81) ? "client.conf" : "client-rt.conf";
}

namespace {

// Loaded once per process and kept: the library cannot be unloaded safely
// once initialised.  Null when it is not installed (or lacks a function).
const PipeWireApi* LoadPipeWire() {
  static std::once_flag once;
  static PipeWireApi api{};
  static bool loaded = false;
  std::call_once(once, [] {
    ClientLibrary library("libpipewire-0.3.so.0");
    // The version first: a library too old to use is asked for nothing else.
    library.Require(api.get_library_version, "pw_get_library_version");
    if (library.Usable()) {
      const char* version = api.get_library_version();
      library.Refuse(PipeWireLibraryUnfit(version));
      api.clientConfig = PipeWireClientConfig(version);
    }
    library.Require(api.init, "pw_init");
    library.Require(api.thread_loop_signal, "pw_thread_loop_signal");
    library.Require(api.thread_loop_timed_wait, "pw_thread_loop_timed_wait");
    library.Require(api.proxy_destroy, "pw_proxy_destroy");
    library.Require(api.thread_loop_new, "pw_thread_loop_new");
    library.Require(api.thread_loop_destroy, "pw_thread_loop_destroy");
    library.Require(api.thread_loop_get_loop, "pw_thread_loop_get_loop");
    library.Require(api.thread_loop_start, "pw_thread_loop_start");
    library.Require(api.thread_loop_stop, "pw_thread_loop_stop");
    library.Require(api.thread_loop_lock, "pw_thread_loop_lock");
    library.Require(api.thread_loop_unlock, "pw_thread_loop_unlock");
    library.Require(api.context_new, "pw_context_new");
    library.Require(api.context_destroy, "pw_context_destroy");
    library.Require(api.context_connect, "pw_context_connect");
    library.Require(api.core_disconnect, "pw_core_disconnect");
    library.Require(api.properties_new, "pw_properties_new");
    library.Require(api.properties_set, "pw_properties_set");
    library.Require(api.stream_new, "pw_stream_new");
    library.Require(api.stream_destroy, "pw_stream_destroy");
    library.Require(api.stream_add_listener, "pw_stream_add_listener");
    library.Require(api.stream_connect, "pw_stream_connect");
    library.Require(api.stream_dequeue_buffer, "pw_stream_dequeue_buffer");
    library.Require(api.stream_queue_buffer, "pw_stream_queue_buffer");
    // Optional: without it no late cycle is counted, and a lost stream is
    // judged by its pace alone.
    library.Optional(api.stream_get_time_n, "pw_stream_get_time_n");
    // A library that cannot be used stays loaded, and is never called.
    LoadFailure() = library.Failure();
    loaded = library.Usable();
  });
  return loaded ? &api : nullptr;
}

// The library, initialised: pw_init loads PipeWire's support plugins and
// reads its logging settings, which only an output that opens needs.
const PipeWireApi* StartPipeWire() {
  static std::once_flag once;
  const PipeWireApi* api = LoadPipeWire();
  if (api != nullptr) std::call_once(once, [api] { api->init(nullptr, nullptr); });
  return api;
}

std::uint64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000 + static_cast<std::uint64_t>(now.tv_nsec);
}

constexpr std::uint64_t kTickNs = 20'000'000;  // the loop's timer: every 20 ms
constexpr int kTicksPerReconnect = 12;          // a new connection about every 250 ms
constexpr std::chrono::milliseconds kStallLimit{PipeWireOutput::kStallLimitMs};
// The most time made up for a stall: the limit, and the two ticks either
// side of it.
constexpr auto kMostUnmixed = kStallLimit + std::chrono::nanoseconds(2 * kTickNs);

// Where the server's socket is, as libpipewire looks for it.
std::string ServerSocketPath() {
  const char* remote = std::getenv("PIPEWIRE_REMOTE");
  std::string name = remote != nullptr && *remote != '\0' ? remote : "pipewire-0";
  if (!name.empty() && name[0] == '/') return name;
  for (const char* variable : {"PIPEWIRE_RUNTIME_DIR", "XDG_RUNTIME_DIR", "USERPROFILE"}) {
    const char* dir = std::getenv(variable);
    if (dir != nullptr && *dir != '\0') return std::string(dir) + "/" + name;
  }
  return {};
}

}  // namespace

// Everything of one open output.  The loop thread owns the context, core and
// stream; callers touch them only with the loop's lock held (Open, Close).
struct PipeWireOutput::Connection {
  const PipeWireApi* api = nullptr;
  std::uint32_t rate = 0;
  std::uint32_t quantum = 0;
  MixSource* source = nullptr;
  OutputEvents* events = nullptr;

  pw_thread_loop* loop = nullptr;
  spa_source* timer = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_hook coreListener{};
  spa_hook streamListener{};
  std::string problem;  // why Connect last failed, for VELMO_DEBUG=1
  std::string target;   // the sink's node name, or empty for the default

  // Shared with the process callback (the data thread).
  //
  // `active`: whether process may ask the mixer for a cycle.  `rendering`:
  // set by process around its look at `active` and its mix.  The loop
  // clears `active` and then waits while `rendering` is set; process sets
  // `rendering` and then reads `active`.  Both sides sequentially
  // consistent, so either process sees `active` cleared or the loop sees it
  // rendering and waits: after the wait no mix is running and none will
  // start.  The loop sets `active` (release) after telling the device the
  // output is back, so a mix that sees it (seq_cst load, which acquires)
  // follows that call.
  std::atomic<bool> active{true};
  std::atomic<bool> rendering{false};
  // Frames the server has asked process for, and the size of its last
  // cycle: read by the loop's timer to see whether, and how fast, the
  // server calls.  Each is a figure on its own, read without ordering
  // against anything else, so relaxed.
  std::atomic<std::uint64_t> framesAsked{0};
  std::atomic<std::uint32_t> lastCycleFrames{0};
  // Cycles the process callback ran, and those that started more than half
  // a cycle later than the one before had ended by the graph's clock
  // (pw_time's `now`): a cycle the driver ran late or skipped, heard as a
  // break.  Counted for benchmarks and a VELMO_DEBUG summary at Close,
  // never written out from the data thread; figures on their own, relaxed.
  std::atomic<std::uint64_t> cycles{0};
  std::atomic<std::uint64_t> lateCycles{0};
  // The graph time of the last cycle (CLOCK_MONOTONIC), 0 until a cycle
  // reports one: read by the loop's timer to tell a driver that catches up
  // from one that plays live (CatchUpWatch).  A figure on its own, relaxed.
  std::atomic<std::int64_t> lastCycleStampNs{0};
  // The data thread's own: the graph time and length of its last cycle.
  std::int64_t lastCycleNs = 0;
  std::uint64_t lastCycleLengthNs = 0;

  // The loop thread's own state.
  bool broken = false;  // a callback saw the server or the stream fail
  // The chosen sink, watched in the registry: when it goes the session
  // manager moves the stream to the default; when it comes back the stream
  // is connected anew so that it is linked to it again.  `registrySync` is
  // the core sync whose answer says the registry has listed every global.
  pw_registry* registry = nullptr;
  spa_hook registryListener{};
  SinkTargetWatch targetWatch;
  int registrySync = -1;
  bool targetBack = false;
  bool lost = false;    // OnOutputLost reported, OnOutputRestored not yet
  int ticksUntilReconnect = 0;
  std::uint64_t seenFrames = 0;    // framesAsked at the last tick
  std::uint64_t lastTickNs = 0;    // CLOCK_MONOTONIC at the last tick
  CallbackWatch cycleWatch;        // framesAsked, and when it last moved
  CatchUpWatch catchUpWatch;       // whether a lost stream's cycles are live again
  bool cycledSinceConnect = false;
  // Contexts made, and connections tried, in this output's life: one
  // context serves every connection (see Connect).  Written by the loop,
  // read by anyone (ContextsCreated), each a figure on its own: relaxed.
  std::atomic<std::uint64_t> contextsMade{0};
  std::atomic<std::uint64_t> connectAttempts{0};

  static void OnProcess(void* data);
  void CountCycle(std::size_t frames);
  static void OnStreamState(void* data, pw_stream_state old, pw_stream_state state, const char* error);
  static void OnCoreError(void* data, uint32_t id, int seq, int res, const char* message);
  static void OnCoreDone(void* data, uint32_t id, int seq);
  static void OnTick(void* data, uint64_t expirations);
  static void OnGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props);
  static void OnGlobalRemove(void* data, uint32_t id);

  // Where the loop mixes the time it makes up (MakeUpSilentTime).
  std::vector<float> scratch;

  bool Connect();
  void Disconnect();
  void DestroyContext();
  void Said(SinkTargetWatch::Change change);
  void StopMixing();
  void MakeUpSilentTime();
  void Tick();
};

void PipeWireOutput::Connection::OnProcess(void* data) {
  auto* self = static_cast<Connection*>(data);
  pw_buffer* buffer = self->api->stream_dequeue_buffer(self->stream);
  if (buffer == nullptr) return;
  spa_data& plane = buffer->buffer->datas[0];
  auto* out = static_cast<float*>(plane.data);
  if (out == nullptr) {
    self->api->stream_queue_buffer(self->stream, buffer);
    return;
  }
  constexpr std::uint32_t kStride = 2 * sizeof(float);
  std::size_t frames = plane.maxsize / kStride;
  // The frames this cycle asks for; PipeWire gives 0 when it does not say.
  if (buffer->requested != 0) frames = std::min<std::size_t>(frames, buffer->requested);

  self->rendering.store(true, std::memory_order_seq_cst);
  if (self->active.load(std::memory_order_seq_cst)) {
    // The mixer's buffers keep their write cursors a pass of PeriodFrames
    // ahead of what a pass reads, so a longer cycle is mixed in parts.
    for (std::size_t done = 0; done < frames;) {
      const std::size_t part = std::min<std::size_t>(frames - done, self->quantum);
      self->source->Render(out + 2 * done, part);
      done += part;
    }
  } else {
    std::fill(out, out + 2 * frames, 0.0f);
  }
  self->rendering.store(false, std::memory_order_release);
  self->lastCycleFrames.store(static_cast<std::uint32_t>(frames), std::memory_order_relaxed);
  self->framesAsked.fetch_add(frames, std::memory_order_relaxed);
  self->CountCycle(frames);

  plane.chunk->offset = 0;
  plane.chunk->stride = kStride;
  plane.chunk->size = static_cast<std::uint32_t>(frames * kStride);
  self->api->stream_queue_buffer(self->stream, buffer);
}

// Data thread, from process.  pw_stream_get_time_n copies the stream's time
// report, which the stream updates at every cycle, and makes no system call.
// A cycle whose graph time is more than one and a half of the last cycle's
// length after that cycle's is late (or cycles were skipped between).  The
// first cycle of a stream is compared with nothing.
void PipeWireOutput::Connection::CountCycle(std::size_t frames) {
  cycles.fetch_add(1, std::memory_order_relaxed);
  if (api->stream_get_time_n == nullptr) return;
  pw_time time{};
  if (api->stream_get_time_n(stream, &time, sizeof time) < 0 || time.now == 0) return;
  if (lastCycleNs != 0 && time.now > lastCycleNs &&
      static_cast<std::uint64_t>(time.now - lastCycleNs) > lastCycleLengthNs + lastCycleLengthNs / 2)
    lateCycles.fetch_add(1, std::memory_order_relaxed);
  lastCycleNs = time.now;
  lastCycleStampNs.store(time.now, std::memory_order_relaxed);
  lastCycleLengthNs = FramesToNs(frames, rate);
}

// Loop thread.  An error, or a stream that falls back to unconnected without
// our asking (the server dropped it), is the output's loss; the next tick
// acts on it, outside the stream's own callback.
void PipeWireOutput::Connection::OnStreamState(void* data, pw_stream_state, pw_stream_state state, const char*) {
  auto* self = static_cast<Connection*>(data);
  if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) self->broken = true;
}

void PipeWireOutput::Connection::OnCoreError(void* data, uint32_t id, int, int res, const char*) {
  auto* self = static_cast<Connection*>(data);
  // Errors about single objects come with their id; the connection's own
  // (the server gone: -EPIPE) with the core's.
  if (id == PW_ID_CORE) self->broken = true;
  (void)res;
}

void PipeWireOutput::Connection::OnTick(void* data, uint64_t) { static_cast<Connection*>(data)->Tick(); }

// Loop thread.
void PipeWireOutput::Connection::OnGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                                          const spa_dict* props) {
  auto* self = static_cast<Connection*>(data);
  if (props == nullptr || std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0) return;
  const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
  if (name == nullptr || self->target != name) return;
  self->Said(self->targetWatch.Announced(id));
}

void PipeWireOutput::Connection::OnGlobalRemove(void* data, uint32_t id) {
  auto* self = static_cast<Connection*>(data);
  self->Said(self->targetWatch.Removed(id));
}

void PipeWireOutput::Connection::OnCoreDone(void* data, uint32_t id, int seq) {
  auto* self = static_cast<Connection*>(data);
  if (id != PW_ID_CORE || self->registry == nullptr || seq != self->registrySync) return;
  self->Said(self->targetWatch.Listed());
}

// Loop thread: what a change of the chosen sink means for the stream, said
// in one line.  A sink back to a stream on the default needs a new stream,
// made at the next tick, outside the registry's callback.
void PipeWireOutput::Connection::Said(SinkTargetWatch::Change change) {
  switch (change) {
    case SinkTargetWatch::Change::kNone:
      return;
    case SinkTargetWatch::Change::kGone:
      ReportChosenDeviceGone(target);
      return;
    case SinkTargetWatch::Change::kBack:
      targetBack = true;
      return;
    case SinkTargetWatch::Change::kBackLinked:
      ReportChosenDeviceBack(target);
      return;
  }
}

// Loop thread, or a caller with the loop's lock held before the loop starts.
//
// The context is made once, at the first attempt, and kept until Close: it
// reads the client configuration, loads its modules (module-rt may ask
// rtkit over D-Bus) and starts the real-time data thread, which is far too
// much to do four times a second, under the loop's lock, while a server is
// away.  Each attempt connects a new core through it.
bool PipeWireOutput::Connection::Connect() {
  connectAttempts.fetch_add(1, std::memory_order_relaxed);
  if (context == nullptr) {
    context = api->context_new(api->thread_loop_get_loop(loop),
                               api->properties_new(PW_KEY_CONFIG_NAME, api->clientConfig, nullptr), 0);
    if (context == nullptr) {
      problem = std::string("pw_context_new: ") + std::strerror(errno);
      return false;
    }
    contextsMade.fetch_add(1, std::memory_order_relaxed);
  }
  core = api->context_connect(context, nullptr, 0);
  if (core == nullptr) {
    problem = std::string("pw_context_connect: ") + std::strerror(errno);
    return false;
  }
  static const pw_core_events coreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = &Connection::OnCoreError;
    events.done = &Connection::OnCoreDone;
    return events;
  }();
  spa_zero(coreListener);
  pw_core_add_listener(core, &coreListener, &coreEvents, this);

  char latency[32];
  std::snprintf(latency, sizeof latency, "%u/%u", quantum, rate);
  const char* appName = program_invocation_short_name;
  pw_properties* props = api->properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                             PW_KEY_MEDIA_ROLE, "Game", PW_KEY_NODE_LATENCY, latency, nullptr);
  api->properties_set(props, PW_KEY_APP_NAME, appName != nullptr && *appName != '\0' ? appName : "velmo-sound");
  api->properties_set(props, PW_KEY_NODE_NAME, "velmo-sound");
  api->properties_set(props, PW_KEY_NODE_DESCRIPTION, "Velmo Sound");
  // target.object is what the session manager (wireplumber 0.4.13 on
  // Debian 12, with libpipewire 0.3.65) links a stream by; it takes a node
  // name.  The older node.target wants an id, which changes when a sink
  // comes back.
  if (!target.empty()) api->properties_set(props, PW_KEY_TARGET_OBJECT, target.c_str());
  stream = api->stream_new(core, "Velmo Sound", props);
  if (stream == nullptr) {
    problem = std::string("pw_stream_new: ") + std::strerror(errno);
    Disconnect();
    return false;
  }
  static const pw_stream_events streamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = &Connection::OnStreamState;
    events.process = &Connection::OnProcess;
    return events;
  }();
  spa_zero(streamListener);
  api->stream_add_listener(stream, &streamListener, &streamEvents, this);

  if (!target.empty()) {
    registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
    if (registry != nullptr) {
      static const pw_registry_events registryEvents = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global = &Connection::OnGlobal;
        e.global_remove = &Connection::OnGlobalRemove;
        return e;
      }();
      spa_zero(registryListener);
      targetWatch.Connected();
      pw_registry_add_listener(registry, &registryListener, &registryEvents, this);
      registrySync = pw_core_sync(core, PW_ID_CORE, 0);
    }
  }
  targetBack = false;

  std::uint8_t podSpace[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(podSpace, sizeof podSpace);
  spa_audio_info_raw info{};
  info.format = SPA_AUDIO_FORMAT_F32;
  info.rate = rate;
  info.channels = 2;
  info.position[0] = SPA_AUDIO_CHANNEL_FL;
  info.position[1] = SPA_AUDIO_CHANNEL_FR;
  const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
  broken = false;
  cycledSinceConnect = false;
  seenFrames = framesAsked.load(std::memory_order_relaxed);
  lastTickNs = MonotonicNs();
  cycleWatch.Reset(seenFrames, std::chrono::steady_clock::now());
  lastCycleNs = 0;  // the new stream's process has not run yet
  lastCycleStampNs.store(0, std::memory_order_relaxed);
  const auto flags =
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
  if (const int res = api->stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1); res < 0) {
    problem = std::string("pw_stream_connect: ") + std::strerror(-res);
    Disconnect();
    return false;
  }
  return true;
}

// Loop thread (or a caller with the lock, the loop stopped or not): tears
// down the stream and core; the context stays for the next connection.
// Destroying the stream takes its node out of the data thread's loop and
// waits for that, so process does not run on it afterwards.
void PipeWireOutput::Connection::Disconnect() {
  if (stream != nullptr) {
    spa_hook_remove(&streamListener);
    api->stream_destroy(stream);
    stream = nullptr;
  }
  if (registry != nullptr) {
    spa_hook_remove(&registryListener);
    api->proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
    registry = nullptr;
  }
  if (core != nullptr) {
    spa_hook_remove(&coreListener);
    api->core_disconnect(core);
    core = nullptr;
  }
}

// With the loop's lock, once disconnected (Close, or an Open that failed).
void PipeWireOutput::Connection::DestroyContext() {
  if (context != nullptr) {
    api->context_destroy(context);
    context = nullptr;
  }
}

// Makes sure no mix runs and none starts (see `active`).  The wait is for a
// mix already under way, which never blocks.
void PipeWireOutput::Connection::StopMixing() {
  active.store(false, std::memory_order_seq_cst);
  while (rendering.load(std::memory_order_seq_cst)) std::this_thread::yield();
}

// Nothing mixed from the stream's last cycle until the loss was seen: up to
// half a second for a stalled server.  That time is mixed now, into nothing,
// before the device keeps time itself, so that the music carries on where it
// would be had it been heard and an effect started meanwhile is not heard
// late.  Loop thread, with mixing stopped.
//
// The time is measured on the clock from the tick that last saw the stream
// called (CallbackWatch::Unmixed), not counted in ticks: a loop that runs
// late still makes up all of it.
void PipeWireOutput::Connection::MakeUpSilentTime() {
  if (!cycledSinceConnect || lost) return;
  const auto unmixed =
      cycleWatch.Unmixed(framesAsked.load(std::memory_order_relaxed), std::chrono::steady_clock::now(), kMostUnmixed);
  const auto frames = static_cast<std::size_t>(
      static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(unmixed).count()) * rate /
      1'000'000'000);
  for (std::size_t done = 0; done < frames; done += quantum)
    source->Render(scratch.data(), std::min<std::size_t>(quantum, frames - done));
}

void PipeWireOutput::Connection::Tick() {
  NoteOutputCycleFrames(lastCycleFrames.load(std::memory_order_relaxed));  // the graph's quantum, for the state
  if (targetBack) {
    targetBack = false;
    ReportChosenDeviceBack(target);
    broken = true;  // a new stream, linked by target.object to the sink again
  }
  if (broken) {
    StopMixing();
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
  if (stream == nullptr) {
    if (--ticksUntilReconnect <= 0) {
      if (!Connect()) ticksUntilReconnect = kTicksPerReconnect;
    }
    return;
  }
  const std::uint64_t asked = framesAsked.load(std::memory_order_relaxed);
  const auto clock = std::chrono::steady_clock::now();
  const std::uint64_t now = MonotonicNs();
  const std::uint64_t frames = asked - seenFrames;
  const std::uint64_t elapsedNs = now - lastTickNs;
  seenFrames = asked;
  lastTickNs = now;
  if (cycleWatch.Look(asked, clock)) {
    cycledSinceConnect = true;
    const std::int64_t stamp = lastCycleStampNs.load(std::memory_order_relaxed);
    std::optional<std::uint64_t> behind;
    if (stamp > 0) behind = now > static_cast<std::uint64_t>(stamp) ? now - static_cast<std::uint64_t>(stamp) : 0;
    if (lost && catchUpWatch.Live(FramesToNs(frames, rate), elapsedNs,
                                  FramesToNs(lastCycleFrames.load(std::memory_order_relaxed), rate), behind)) {
      // The stream is linked and the server calls it: the device hears of
      // it before the first mix.
      lost = false;
      events->OnOutputRestored();
      active.store(true, std::memory_order_seq_cst);
    }
    return;
  }
  // Connected, called before, and silent since: a stalled server.  A stream
  // never called yet is waiting for a sink, and is left to wait.
  if (cycledSinceConnect && !lost && cycleWatch.SinceProgress(clock) >= kStallLimit) {
    StopMixing();
    MakeUpSilentTime();
    lost = true;
    catchUpWatch.Reset();
    events->OnOutputLost();
  }
}

PipeWireOutput::PipeWireOutput(std::uint32_t rate, std::uint32_t latencyMs, std::string target)
    : rate_(rate),
      quantum_(PipeWireQuantumFor(rate, latencyMs != 0 ? latencyMs : kDefaultLatencyMs)),
      target_(std::move(target)) {}

PipeWireOutput::~PipeWireOutput() { Close(); }

bool PipeWireOutput::Open(MixSource& source, OutputEvents& events) {
  if (connection_) return false;
  const PipeWireApi* api = StartPipeWire();
  if (api == nullptr) {
    ReportOutputFailure("pipewire", LoadFailure());
    return false;
  }
  auto connection = std::make_unique<Connection>();
  connection->api = api;
  connection->rate = rate_;
  connection->quantum = quantum_;
  connection->scratch.resize(2 * static_cast<std::size_t>(quantum_));
  connection->target = target_;
  connection->source = &source;
  connection->events = &events;
  connection->loop = api->thread_loop_new("velmo-pipewire", nullptr);
  if (connection->loop == nullptr) {
    ReportOutputFailure("pipewire", std::string("pw_thread_loop_new: ") + std::strerror(errno));
    return false;
  }
  Connection* c = connection.get();
  api->thread_loop_lock(c->loop);
  bool ok = c->Connect();
  if (ok) {
    pw_loop* loop = api->thread_loop_get_loop(c->loop);
    c->timer = pw_loop_add_timer(loop, &Connection::OnTick, c);
    timespec tick{0, static_cast<long>(kTickNs)};
    ok = c->timer != nullptr && pw_loop_update_timer(loop, c->timer, &tick, &tick, false) >= 0;
  }
  if (ok) ok = api->thread_loop_start(c->loop) >= 0;
  if (!ok) {
    ReportOutputFailure("pipewire", c->problem.empty() ? std::string("its loop did not start") : c->problem);
    c->StopMixing();
    c->Disconnect();
    c->DestroyContext();
    if (c->timer != nullptr) pw_loop_destroy_source(api->thread_loop_get_loop(c->loop), c->timer);
    api->thread_loop_unlock(c->loop);
    api->thread_loop_destroy(c->loop);
    return false;
  }
  api->thread_loop_unlock(c->loop);
  connection_ = std::move(connection);
  return true;
}

void PipeWireOutput::Close() {
  if (!connection_) return;
  Connection* c = connection_.get();
  const PipeWireApi* api = c->api;
  if (OutputDebugWanted())
    WriteDiagnostic("velmo: pipewire: " + std::to_string(c->cycles.load(std::memory_order_relaxed)) +
                    " cycles played, " + std::to_string(c->lateCycles.load(std::memory_order_relaxed)) +
                    " of them late or after skipped ones");
  api->thread_loop_lock(c->loop);
  c->StopMixing();
  c->Disconnect();
  c->DestroyContext();
  pw_loop_destroy_source(api->thread_loop_get_loop(c->loop), c->timer);
  api->thread_loop_unlock(c->loop);
  api->thread_loop_stop(c->loop);
  api->thread_loop_destroy(c->loop);
  connection_.reset();
}

std::uint64_t PipeWireOutput::ContextsCreated() const {
  return connection_ ? connection_->contextsMade.load(std::memory_order_relaxed) : 0;
}

std::uint64_t PipeWireOutput::Cycles() const {
  return connection_ ? connection_->cycles.load(std::memory_order_relaxed) : 0;
}

std::uint64_t PipeWireOutput::LateCycles() const {
  return connection_ ? connection_->lateCycles.load(std::memory_order_relaxed) : 0;
}

std::uint64_t PipeWireOutput::ConnectAttempts() const {
  return connection_ ? connection_->connectAttempts.load(std::memory_order_relaxed) : 0;
}

// The socket first: on a machine without a server the library is never
// loaded.
std::string WhyPipeWireDoesNotAnswer() {
  const std::string path = ServerSocketPath();
  if (path.empty()) return "no runtime folder (XDG_RUNTIME_DIR) to find its socket in";
  if (std::string why = WhyServerSocketDoesNotAnswer(path); !why.empty()) return why;
  if (LoadPipeWire() == nullptr) return LoadFailure();
  return "the server answers";
}

bool PipeWireServerAnswers() {
  const std::string path = ServerSocketPath();
  return !path.empty() && WhyServerSocketDoesNotAnswer(path).empty() && LoadPipeWire() != nullptr;
}

// A desktop may run PipeWire for screen sharing and cameras only, beside
// PulseAudio for sound: a stream there would wait for a sink that never
// comes.  PulseAudio, and PipeWire's own PulseAudio server when PipeWire
// does the sound, write their process id into the runtime folder's pulse/pid;
// when the process named there is PulseAudio itself, sound goes through it.
bool PipeWireIsTheSoundServer() {
  if (!PipeWireServerAnswers()) return false;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == '\0') return true;
  char pid[32] = {};
  if (FILE* file = std::fopen((std::string(runtime) + "/pulse/pid").c_str(), "re")) {
    const bool read = std::fgets(pid, sizeof pid, file) != nullptr;
    std::fclose(file);
    if (!read) return true;
  } else {
    return true;
  }
  pid[std::strcspn(pid, "\n")] = '\0';
  char comm[32] = {};
  if (FILE* file = std::fopen((std::string("/proc/") + pid + "/comm").c_str(), "re")) {
    if (std::fgets(comm, sizeof comm, file) == nullptr) comm[0] = '\0';
    std::fclose(file);
  }
  comm[std::strcspn(comm, "\n")] = '\0';
  return std::strcmp(comm, "pulseaudio") != 0;
}

namespace {

// One look at the server's registry: its Audio/Sink nodes, and the default
// sink the session manager keeps in the "default" metadata.  Everything
// here runs on the loop's thread or with its lock held.
struct SinkListing {
  const PipeWireApi* api = nullptr;
  pw_thread_loop* loop = nullptr;
  pw_core* core = nullptr;
  pw_registry* registry = nullptr;
  pw_metadata* metadata = nullptr;
  spa_hook coreListener{}, registryListener{}, metadataListener{};
  std::vector<AudioDevice> devices;
  std::string defaultSink;
  int syncSeq = -1;
  bool metadataSynced = false;
  bool done = false;

  static void OnGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props) {
    auto* self = static_cast<SinkListing*>(data);
    if (props == nullptr) return;
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
      const char* mediaClass = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
      const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
      if (mediaClass == nullptr || std::strcmp(mediaClass, "Audio/Sink") != 0 || name == nullptr) return;
      const char* description = spa_dict_lookup(props, PW_KEY_NODE_DESCRIPTION);
      self->devices.push_back({name, description != nullptr ? description : name, false});
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0 && self->metadata == nullptr) {
      const char* name = spa_dict_lookup(props, PW_KEY_METADATA_NAME);
      if (name == nullptr || std::strcmp(name, "default") != 0) return;
      self->metadata = static_cast<pw_metadata*>(
          pw_registry_bind(self->registry, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
      if (self->metadata == nullptr) return;
      static const pw_metadata_events events = [] {
        pw_metadata_events e{};
        e.version = PW_VERSION_METADATA_EVENTS;
        e.property = &SinkListing::OnProperty;
        return e;
      }();
      pw_metadata_add_listener(self->metadata, &self->metadataListener, &events, self);
    }
  }

  // The value is JSON, {"name":"NODE NAME"}.
  static int OnProperty(void* data, uint32_t, const char* key, const char*, const char* value) {
    auto* self = static_cast<SinkListing*>(data);
    if (key == nullptr || value == nullptr || std::strcmp(key, "default.audio.sink") != 0) return 0;
    const std::string json = value;
    const std::string field = "\"name\":";
    std::size_t at = json.find(field);
    if (at == std::string::npos) return 0;
    at = json.find('"', at + field.size());
    const std::size_t end = at == std::string::npos ? at : json.find('"', at + 1);
    if (end != std::string::npos) self->defaultSink = json.substr(at + 1, end - at - 1);
    return 0;
  }

  // The first sync's answer means every global has been announced; a
  // metadata object bound meanwhile needs one more for its properties.
  static void OnDone(void* data, uint32_t id, int seq) {
    auto* self = static_cast<SinkListing*>(data);
    if (id != PW_ID_CORE || seq != self->syncSeq) return;
    if (self->metadata != nullptr && !self->metadataSynced) {
      self->metadataSynced = true;
      self->syncSeq = pw_core_sync(self->core, PW_ID_CORE, 0);
      return;
    }
    self->done = true;
    self->api->thread_loop_signal(self->loop, false);
  }

  static void OnError(void* data, uint32_t id, int, int, const char*) {
    auto* self = static_cast<SinkListing*>(data);
    if (id != PW_ID_CORE) return;
    self->done = true;
    self->api->thread_loop_signal(self->loop, false);
  }
};

}  // namespace

std::vector<AudioDevice> ListPipeWireSinks() {
  if (!PipeWireServerAnswers()) {
    if (OutputDebugWanted()) ReportOutputFailure("pipewire", WhyPipeWireDoesNotAnswer());
    return {};
  }
  const PipeWireApi* api = StartPipeWire();
  if (api == nullptr) return {};
  SinkListing listing;
  listing.api = api;
  listing.loop = api->thread_loop_new("velmo-pipewire-list", nullptr);
  if (listing.loop == nullptr) return {};
  api->thread_loop_lock(listing.loop);
  pw_context* context = api->context_new(api->thread_loop_get_loop(listing.loop), nullptr, 0);
  if (context != nullptr) listing.core = api->context_connect(context, nullptr, 0);
  if (listing.core != nullptr) {
    static const pw_core_events coreEvents = [] {
      pw_core_events e{};
      e.version = PW_VERSION_CORE_EVENTS;
      e.done = &SinkListing::OnDone;
      e.error = &SinkListing::OnError;
      return e;
    }();
    static const pw_registry_events registryEvents = [] {
      pw_registry_events e{};
      e.version = PW_VERSION_REGISTRY_EVENTS;
      e.global = &SinkListing::OnGlobal;
      return e;
    }();
    pw_core_add_listener(listing.core, &listing.coreListener, &coreEvents, &listing);
    listing.registry = pw_core_get_registry(listing.core, PW_VERSION_REGISTRY, 0);
    if (listing.registry != nullptr) {
      pw_registry_add_listener(listing.registry, &listing.registryListener, &registryEvents, &listing);
      listing.syncSeq = pw_core_sync(listing.core, PW_ID_CORE, 0);
      if (api->thread_loop_start(listing.loop) >= 0) {
        // A server that stops answering leaves the list as far as it got.
        while (!listing.done)
          if (api->thread_loop_timed_wait(listing.loop, 2) != 0) break;
        api->thread_loop_unlock(listing.loop);
        api->thread_loop_stop(listing.loop);
        api->thread_loop_lock(listing.loop);
      }
    }
    if (listing.metadata != nullptr) {
      spa_hook_remove(&listing.metadataListener);
      api->proxy_destroy(reinterpret_cast<pw_proxy*>(listing.metadata));
    }
    if (listing.registry != nullptr) {
      spa_hook_remove(&listing.registryListener);
      api->proxy_destroy(reinterpret_cast<pw_proxy*>(listing.registry));
    }
    spa_hook_remove(&listing.coreListener);
    api->core_disconnect(listing.core);
  }
  if (context != nullptr) api->context_destroy(context);
  api->thread_loop_unlock(listing.loop);
  api->thread_loop_destroy(listing.loop);
  for (AudioDevice& device : listing.devices) device.isDefault = device.name == listing.defaultSink;
  return listing.devices;
}

std::unique_ptr<AudioOutput> CreatePipeWireOutput(std::uint32_t rate, std::uint32_t latencyMs,
                                                  const std::string& target) {
  return std::make_unique<PipeWireOutput>(rate, latencyMs, target);
}

}  // namespace velmo
