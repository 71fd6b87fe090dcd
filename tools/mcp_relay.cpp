#include "mcp_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

extern char** environ;

namespace mcp {

namespace {

constexpr int forwarded_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGWINCH};
constexpr std::size_t max_tracked = 4096;  // requests remembered at once; the oldest go first
constexpr std::size_t inline_limit = 64 << 10;  // server lines up to this size may be read on the relay thread

// ---- request tracking ----

struct Pending {
  enum class Kind { ToolsCall, ToolsList, TaskResult } kind;
  Call call;
  bool as_task = false;  // a tools/call with a task parameter: the answer names a task
  std::string task_id;   // tasks/result: the task asked for
  std::uint64_t seq = 0;
};

// What the client asked, by request id. The relay thread adds and cancels; the worker takes
// an entry when the answer comes.
class Tracker {
 public:
  void add(std::string key, Pending p) {
    std::lock_guard lock(mutex_);
    p.seq = ++seq_;
    order_.emplace_back(key, p.seq);
    pending_[std::move(key)] = std::move(p);
    while (pending_.size() > max_tracked && !order_.empty()) evict(pending_, order_);
  }
  void forget(const std::string& key) {
    std::lock_guard lock(mutex_);
    pending_.erase(key);
  }
  bool empty() {
    std::lock_guard lock(mutex_);
    return pending_.empty();
  }
  std::optional<Pending> take(const std::string& key) {
    std::lock_guard lock(mutex_);
    auto it = pending_.find(key);
    if (it == pending_.end()) return std::nullopt;
    Pending p = std::move(it->second);
    pending_.erase(it);
    return p;
  }
  void add_task(std::string task_id, Call call) {
    std::lock_guard lock(mutex_);
    Pending p{Pending::Kind::ToolsCall, std::move(call), false, {}, ++seq_};
    task_order_.emplace_back(task_id, p.seq);
    tasks_[std::move(task_id)] = std::move(p);
    while (tasks_.size() > max_tracked && !task_order_.empty()) evict(tasks_, task_order_);
  }
  std::optional<Call> task(const std::string& task_id) {
    std::lock_guard lock(mutex_);
    auto it = tasks_.find(task_id);
    if (it == tasks_.end()) return std::nullopt;
    return it->second.call;
  }

 private:
  using Map = std::unordered_map<std::string, Pending>;
  using Order = std::deque<std::pair<std::string, std::uint64_t>>;
  static void evict(Map& map, Order& order) {
    auto it = map.find(order.front().first);
    if (it != map.end() && it->second.seq == order.front().second) map.erase(it);
    order.pop_front();
  }

  std::mutex mutex_;
  Map pending_;
  Order order_;
  Map tasks_;
  Order task_order_;
  std::uint64_t seq_ = 0;
};

bool client_expand(const std::vector<std::string_view>& path) { return path.size() <= 1; }

// The message, its result and what the proxy reads in a result: content items, listed tools
// and a created task.
bool server_expand(const std::vector<std::string_view>& path) {
  if (path.size() <= 1) return true;
  if (path[0] != "result") return false;
  if (path.size() == 2) return path[1] == "content" || path[1] == "tools" || path[1] == "task";
  return path.size() == 3 && (path[1] == "content" || path[1] == "tools");
}

bool has(std::string_view line, std::string_view word) { return line.find(word) != std::string_view::npos; }

// Records what a client message asks for. Only requests that can lead to a rewrite are read.
void track_client(const std::string& line, Tracker& tracker) {
  if (!has(line, "tools/") && !has(line, "tasks/result") && !has(line, "notifications/cancelled")) return;
  auto msg = parse(line, client_expand);
  if (!msg || !msg->is(Node::Kind::Object)) return;
  const Node* method = msg->get("method");
  if (!method || !method->is(Node::Kind::String)) return;
  const Node* params = msg->get("params");
  if (method->text == "notifications/cancelled") {
    const Node* request = params ? params->get("requestId") : nullptr;
    if (request) tracker.forget(id_key(*request));
    return;
  }
  const Node* id = msg->get("id");
  std::string key = id ? id_key(*id) : std::string();
  if (key.empty()) return;
  if (method->text == "tools/call") {
    const Node* name = params ? params->get("name") : nullptr;
    if (!name || !name->is(Node::Kind::String)) return;
    const Node* args = params->get("arguments");
    const Node* task = params->get("task");
    Pending p{Pending::Kind::ToolsCall, {std::string(name->text), args ? std::string(args->span.of(line)) : std::string()},
              task && task->is(Node::Kind::Object), {}, 0};
    tracker.add(std::move(key), std::move(p));
  } else if (method->text == "tools/list") {
    tracker.add(std::move(key), Pending{Pending::Kind::ToolsList, {}, false, {}, 0});
  } else if (method->text == "tasks/result") {
    const Node* task = params ? params->get("taskId") : nullptr;
    if (!task || !task->is(Node::Kind::String)) return;
    tracker.add(std::move(key), Pending{Pending::Kind::TaskResult, {}, false, std::string(task->text), 0});
  }
}

// The worker's view of one server message: the line to send on.
class Rewriter {
 public:
  Rewriter(const Settings& settings, Tracker& tracker) : settings_(settings), tracker_(tracker) {}

  std::optional<std::string> rewrite(std::string& line) {
    auto msg = parse(line, server_expand, long_text, result_text);
    if (!msg || !msg->is(Node::Kind::Object) || msg->get("method")) return std::nullopt;
    const Node* id = msg->get("id");
    if (!id) return std::nullopt;
    auto pending = tracker_.take(id_key(*id));
    if (!pending) return std::nullopt;
    const Node* result = msg->get("result");
    if (!result || msg->get("error") || !result->is(Node::Kind::Object)) return std::nullopt;
    switch (pending->kind) {
      case Pending::Kind::ToolsList: schemas_.learn(line, *result); return std::nullopt;
      case Pending::Kind::ToolsCall:
        if (pending->as_task) {
          const Node* task = result->get("task");
          const Node* task_id = task ? task->get("taskId") : nullptr;
          if (task_id && task_id->is(Node::Kind::String) && !task_id->pending) {
            tracker_.add_task(std::string(task_id->text), std::move(pending->call));
            return std::nullopt;
          }
        }
        return shrink_result(line, *msg, pending->call, settings_, schemas_);
      case Pending::Kind::TaskResult:
        if (auto call = tracker_.task(pending->task_id)) return shrink_result(line, *msg, *call, settings_, schemas_);
        return std::nullopt;
    }
    return std::nullopt;
  }

 private:
  const Settings& settings_;
  Tracker& tracker_;
  Schemas schemas_;
};

// ---- the server-to-client queue ----

// One line on its way to the client; a worker fills in lines that may be rewritten.
struct Slot {
  std::string data;
  std::size_t in_size = 0;
  std::atomic<bool> ready{false};
};

class Worker {
 public:
  Worker(Rewriter& rewriter, int wake_fd) : rewriter_(rewriter), wake_fd_(wake_fd), thread_([this] { run(); }) {}
  ~Worker() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }
  void push(std::shared_ptr<Slot> slot) {
    busy_.fetch_add(1, std::memory_order_relaxed);
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(slot));
    }
    cv_.notify_one();
  }
  // Only the relay thread pushes, so an idle worker stays idle until the next push.
  bool idle() const { return busy_.load(std::memory_order_acquire) == 0; }

 private:
  void run() {
    for (;;) {
      std::shared_ptr<Slot> slot;
      {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        slot = std::move(jobs_.front());
        jobs_.pop_front();
      }
      std::string replaced;
      if (auto out = rewriter_.rewrite(slot->data)) {
        replaced = std::move(slot->data);
        slot->data = std::move(*out);
      }
      slot->ready.store(true, std::memory_order_release);
      busy_.fetch_sub(1, std::memory_order_release);
      std::uint64_t one = 1;
      ssize_t ignored = ::write(wake_fd_, &one, sizeof one);
      (void)ignored;
      // The line replaced (up to hundreds of megabytes, slow to give back) is freed once the
      // answer is on its way.
    }
  }

  Rewriter& rewriter_;
  int wake_fd_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::shared_ptr<Slot>> jobs_;
  bool stop_ = false;
  std::atomic<int> busy_{0};
  std::thread thread_;  // last: starts once the members above exist
};

// ---- framing ----

// Splits a byte stream into lines. A line longer than the limit is passed on in pieces
// as it arrives, unread, so memory stays bounded whatever a peer sends.
class Lines {
 public:
  explicit Lines(std::size_t limit) : limit_(limit) {}

  // emit(text, whole): whole lines may be read; pieces are forwarded as they are.
  template <class Emit>
  void feed(const char* data, std::size_t n, Emit&& emit) {
    while (n > 0) {
      const char* nl = static_cast<const char*>(std::memchr(data, '\n', n));
      std::size_t take = nl ? static_cast<std::size_t>(nl - data) + 1 : n;
      if (streaming_) {
        emit(std::string(data, take), false);
        if (nl) streaming_ = false;
      } else {
        grow_for(take);
        partial_.append(data, take);
        if (nl) {
          emit(std::move(partial_), true);
          partial_ = std::string();
        } else if (partial_.size() > limit_) {
          emit(std::move(partial_), false);
          partial_ = std::string();
          streaming_ = true;
        }
      }
      data += take;
      n -= take;
    }
  }
  template <class Emit>
  void finish(Emit&& emit) {
    if (!partial_.empty()) emit(std::move(partial_), false);
    partial_ = std::string();
  }

 private:
  // A long line grows 64-fold at a time: the reserved tail is address space only until it is
  // written, and a line of tens of megabytes is copied once, at its first megabyte, instead of
  // again at each step (each copy also touching fresh pages).
  void grow_for(std::size_t more) {
    constexpr std::size_t long_line = 1 << 20;
    const std::size_t need = partial_.size() + more;
    if (need <= partial_.capacity() || partial_.size() < long_line) return;
    partial_.reserve(std::max(need, std::min(need * 64, limit_ + long_line)));
  }

  std::size_t limit_;
  std::string partial_;
  bool streaming_ = false;
};

// ---- the child ----

struct Fds {
  int to_child = -1;    // the child's standard input
  int from_child = -1;  // the child's standard output
};

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

int spawn(const std::vector<std::string>& command, const sigset_t& blocked, pid_t& pid, Fds& fds) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return errno;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    int e = errno;
    ::close(in[0]);
    ::close(in[1]);
    return e;
  }
  // Larger pipes mean fewer wake-ups per large message (best effort: the system may cap it).
  ::fcntl(out[0], F_SETPIPE_SZ, 1 << 20);
  ::fcntl(in[0], F_SETPIPE_SZ, 1 << 20);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  defaults = blocked;
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> argv;
  for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(in[0]);
  ::close(out[1]);
  if (rc != 0) {
    ::close(in[1]);
    ::close(out[0]);
    return rc;
  }
  fds.to_child = in[1];
  fds.from_child = out[0];
  set_nonblocking(fds.to_child);
  set_nonblocking(fds.from_child);
  return 0;
}

using Clock = std::chrono::steady_clock;

// Makes a descriptor non-blocking for the session and restores its flags on the way out:
// it may be shared with the process that started us.
class FlagGuard {
 public:
  explicit FlagGuard(int fd) : fd_(fd), flags_(::fcntl(fd, F_GETFL)) {
    if (flags_ >= 0) ::fcntl(fd, F_SETFL, flags_ | O_NONBLOCK);
  }
  ~FlagGuard() { restore(); }
  void restore() const {
    if (flags_ >= 0) ::fcntl(fd_, F_SETFL, flags_);
  }
  FlagGuard(const FlagGuard&) = delete;
  FlagGuard& operator=(const FlagGuard&) = delete;

 private:
  int fd_;
  int flags_;
};

class Relay {
 public:
  explicit Relay(const RelayConfig& config)
      : config_(config), from_client_(config.max_message_bytes), from_server_(config.max_message_bytes) {}

  int run() {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGCHLD);
    for (int s : forwarded_signals) sigaddset(&blocked, s);
    // Blocked before the worker starts, so that only the signal descriptor sees them.
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    Fds fds;
    if (int err = spawn(config_.command, blocked, pid_, fds); err != 0) {
      std::fprintf(stderr, "tavisk mcp-proxy: cannot start '%s': %s\n", config_.command[0].c_str(), std::strerror(err));
      return 127;
    }
    to_child_fd_ = fds.to_child;
    from_child_fd_ = fds.from_child;
    sig_fd_ = ::signalfd(-1, &blocked, SFD_CLOEXEC | SFD_NONBLOCK);
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    FlagGuard out_flags(1);  // writes to the client must not block the relay
    Rewriter rewriter(config_.settings, tracker_);
    Worker worker(rewriter, wake_fd_);
    worker_ = &worker;
    rewriter_ = &rewriter;
    loop();
    worker_ = nullptr;
    if (abandon_) {
      // A shrink may still be running; its result has no one left to go to.
      out_flags.restore();
      std::fflush(stderr);
      ::_exit(exit_status());
    }
    if (to_child_fd_ >= 0) ::close(to_child_fd_);
    if (from_child_fd_ >= 0) ::close(from_child_fd_);
    ::close(sig_fd_);
    ::close(wake_fd_);
    return exit_status();
  }

  int exit_status() const {
    if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 1;
  }

 private:
  void loop() {
    std::vector<pollfd> fds;
    for (;;) {
      auto now = Clock::now();
      step_shutdown(now);
      if (finished(now) || abandon_) return;
      fds.clear();
      fds.push_back({sig_fd_, POLLIN, 0});
      fds.push_back({wake_fd_, POLLIN, 0});
      int in_at = -1, out_at = -1, child_in_at = -1, stdout_at = -1;
      if (client_open_ && to_child_bytes_ < config_.queue_limit) {
        in_at = static_cast<int>(fds.size());
        fds.push_back({0, POLLIN, 0});
      }
      if (from_child_fd_ >= 0 && to_client_bytes_ < config_.queue_limit) {
        out_at = static_cast<int>(fds.size());
        fds.push_back({from_child_fd_, POLLIN, 0});
      }
      if (to_child_fd_ >= 0 && !to_child_.empty()) {
        child_in_at = static_cast<int>(fds.size());
        fds.push_back({to_child_fd_, POLLOUT, 0});
      }
      if (front_ready()) {
        stdout_at = static_cast<int>(fds.size());
        fds.push_back({1, POLLOUT, 0});
      }
      int rc = ::poll(fds.data(), fds.size(), timeout_ms(now));
      if (rc < 0 && errno != EINTR) return;
      if (rc <= 0) continue;
      if (fds[0].revents) read_signals();
      if (fds[1].revents) {
        std::uint64_t n;
        ssize_t ignored = ::read(wake_fd_, &n, sizeof n);
        (void)ignored;
      }
      if (in_at >= 0 && fds[in_at].revents) read_client();
      if (out_at >= 0 && fds[out_at].revents) read_server();
      if (child_in_at >= 0 && fds[child_in_at].revents) write_child();
      if (stdout_at >= 0 && fds[stdout_at].revents) write_client();
    }
  }

  // ---- reading ----

  void read_client() {
    char* buf = buffer_.data();
    ssize_t n = ::read(0, buf, buffer_.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    auto emit = [this](std::string&& text, bool whole) {
      if (to_child_fd_ < 0) return;  // the child no longer reads
      if (whole) track_client(text, tracker_);
      to_child_bytes_ += text.size();
      to_child_.push_back(std::move(text));
    };
    if (n <= 0) {
      from_client_.finish(emit);
      client_open_ = false;
      return;
    }
    from_client_.feed(buf, static_cast<std::size_t>(n), emit);
  }

  void read_server() {
    char* buf = buffer_.data();
    ssize_t n = ::read(from_child_fd_, buf, buffer_.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    auto emit = [this](std::string&& text, bool whole) {
      auto slot = std::make_shared<Slot>();
      slot->in_size = text.size();
      to_client_bytes_ += text.size();
      bool candidate = whole && text.size() > 1 && text.find_first_not_of(" \t\r") != std::string::npos &&
                       text[text.find_first_not_of(" \t\r")] == '{' && !tracker_.empty();
      slot->data = std::move(text);
      if (candidate && slot->data.size() <= inline_limit && worker_->idle()) {
        // A small message is read here when nothing waits in the worker: order is kept and
        // the hand-over to another thread is saved.
        if (auto out = rewriter_->rewrite(slot->data)) slot->data = std::move(*out);
        slot->ready.store(true, std::memory_order_relaxed);
        to_client_.push_back(std::move(slot));
      } else if (candidate) {
        to_client_.push_back(slot);
        worker_->push(std::move(slot));
      } else {
        slot->ready.store(true, std::memory_order_relaxed);
        to_client_.push_back(std::move(slot));
      }
    };
    if (n <= 0) {
      from_server_.finish(emit);
      ::close(from_child_fd_);
      from_child_fd_ = -1;
      return;
    }
    from_server_.feed(buf, static_cast<std::size_t>(n), emit);
  }

  // ---- writing ----

  void write_child() {
    while (!to_child_.empty()) {
      const std::string& s = to_child_.front();
      ssize_t n = ::write(to_child_fd_, s.data() + to_child_off_, s.size() - to_child_off_);
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return;
        // The child closed its input: what is left for it has nowhere to go.
        to_child_.clear();
        to_child_bytes_ = 0;
        to_child_off_ = 0;
        ::close(to_child_fd_);
        to_child_fd_ = -1;
        return;
      }
      to_child_off_ += static_cast<std::size_t>(n);
      if (to_child_off_ < s.size()) return;
      to_child_bytes_ -= s.size();
      to_child_off_ = 0;
      to_child_.pop_front();
    }
  }

  bool front_ready() const {
    return !to_client_.empty() && to_client_.front()->ready.load(std::memory_order_acquire);
  }

  void write_client() {
    while (front_ready()) {
      Slot& s = *to_client_.front();
      if (client_gone_) {
        to_client_off_ = s.data.size();
      } else {
        ssize_t n = ::write(1, s.data.data() + to_client_off_, s.data.size() - to_client_off_);
        if (n < 0) {
          if (errno == EAGAIN || errno == EINTR) return;
          // The client is gone: the session ends as if its input had closed.
          client_gone_ = true;
          client_open_ = false;
          continue;
        }
        to_client_off_ += static_cast<std::size_t>(n);
        if (to_client_off_ < s.data.size()) return;
      }
      to_client_bytes_ -= s.in_size;
      to_client_off_ = 0;
      to_client_.pop_front();
    }
  }

  // ---- the child's life ----

  void read_signals() {
    signalfd_siginfo info;
    while (::read(sig_fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      int sig = static_cast<int>(info.ssi_signo);
      if (sig == SIGCHLD) {
        reap();
      } else if (!child_done_) {
        ::kill(pid_, sig);
      } else if (sig != SIGWINCH && sig != SIGUSR1 && sig != SIGUSR2) {
        abandon_ = true;  // the server is gone and we are told to stop: do not wait for the worker
      }
    }
    reap();
  }

  void reap() {
    if (child_done_) return;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      child_done_ = true;
      status_ = status;
      child_done_at_ = Clock::now();
    }
  }

  // End of the client's input: the child's input is closed once everything for it is out;
  // then the child gets time to leave, SIGTERM, more time, and SIGKILL.
  void step_shutdown(Clock::time_point now) {
    if (client_open_ || child_done_) return;
    if (to_child_fd_ >= 0 && (to_child_.empty() || client_gone_)) {
      ::close(to_child_fd_);
      to_child_fd_ = -1;
      to_child_.clear();
      to_child_bytes_ = 0;
    }
    if (to_child_fd_ >= 0) return;
    auto grace = std::chrono::milliseconds(config_.grace_ms);
    if (!closed_at_) closed_at_ = now;
    if (!termed_ && now >= *closed_at_ + grace) {
      ::kill(pid_, SIGTERM);
      termed_ = true;
    }
    if (termed_ && !killed_ && now >= *closed_at_ + 2 * grace) {
      ::kill(pid_, SIGKILL);
      killed_ = true;
    }
  }

  // Done once the child has ended, its output is read (or a descendant that keeps it open
  // has had the grace period) and everything for the client is written.
  bool finished(Clock::time_point now) {
    if (!child_done_) return false;
    if (from_child_fd_ >= 0) {
      if (now < child_done_at_ + std::chrono::milliseconds(config_.grace_ms)) return false;
      from_server_.finish([this](std::string&& text, bool) {
        auto slot = std::make_shared<Slot>();
        slot->in_size = text.size();
        slot->data = std::move(text);
        slot->ready.store(true);
        to_client_.push_back(std::move(slot));
      });
      ::close(from_child_fd_);
      from_child_fd_ = -1;
    }
    if (!to_client_.empty() && !client_gone_) {
      // Wait for the worker and the client, but not for a client that stopped reading.
      return false;
    }
    return true;
  }

  int timeout_ms(Clock::time_point now) const {
    auto grace = std::chrono::milliseconds(config_.grace_ms);
    std::optional<Clock::time_point> at;
    if (closed_at_ && !child_done_) at = *closed_at_ + (termed_ ? 2 * grace : grace);
    if (child_done_ && from_child_fd_ >= 0) at = child_done_at_ + grace;
    if (!at) return child_done_ ? 100 : -1;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(*at - now).count();
    return static_cast<int>(std::clamp<long long>(ms + 1, 0, 60000));
  }

  const RelayConfig& config_;
  Tracker tracker_;
  Worker* worker_ = nullptr;
  Rewriter* rewriter_ = nullptr;
  pid_t pid_ = -1;
  int status_ = 0;
  int to_child_fd_ = -1, from_child_fd_ = -1, sig_fd_ = -1, wake_fd_ = -1;
  Lines from_client_, from_server_;
  std::vector<char> buffer_ = std::vector<char>(1 << 20);  // one read, either side
  std::deque<std::string> to_child_;
  std::size_t to_child_off_ = 0, to_child_bytes_ = 0;
  std::deque<std::shared_ptr<Slot>> to_client_;
  std::size_t to_client_off_ = 0, to_client_bytes_ = 0;
  bool client_open_ = true, client_gone_ = false, child_done_ = false, termed_ = false, killed_ = false;
  bool abandon_ = false;
  Clock::time_point child_done_at_;
  std::optional<Clock::time_point> closed_at_;
};

}  // namespace

int run_relay(const RelayConfig& config) {
  Relay relay(config);
  return relay.run();
}

}  // namespace mcp
