#include "host/testing/kelvo_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/engine/method_codec.h"

#ifndef KELVO_BINARY
#error "KELVO_BINARY must name the kelvo executable"
#endif

namespace kelvo::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Waits for `pid` until `limit`; the exit status, or -1.
int WaitExit(pid_t pid, std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  while (true) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (r < 0 || Clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

pid_t Spawn(const HostEnvironment& env, const std::vector<std::string>& args,
            const std::string& stdout_path, const std::string& stderr_path) {
  std::vector<std::string> argv_s = {KELVO_BINARY};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_s = env.Variables();
  std::vector<char*> envp;
  for (auto& e : env_s) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, stderr_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0600);
  pid_t pid = -1;
  if (::posix_spawn(&pid, KELVO_BINARY, &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace

HostEnvironment::HostEnvironment() {
  char pattern[] = "/tmp/kelvo-host-XXXXXX";
  if (::mkdtemp(pattern)) root_ = pattern;
  for (const std::string& dir :
       {home(), runtime_dir(), data_home(), config_home(), app_group_root()}) {
    std::filesystem::create_directories(dir);
  }
  ::chmod(runtime_dir().c_str(), 0700);
}

HostEnvironment::~HostEnvironment() {
  std::error_code ignored;
  if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
}

std::vector<std::string> HostEnvironment::Variables() const {
  const char* path = std::getenv("PATH");
  std::vector<std::string> variables = {
      "PATH=" + std::string(path ? path : "/usr/bin:/bin"), "HOME=" + home(),
      "XDG_RUNTIME_DIR=" + runtime_dir(), "XDG_DATA_HOME=" + data_home(),
      "XDG_CONFIG_HOME=" + config_home(), "KELVO_APP_GROUP_ROOT=" + app_group_root(),
      "DBUS_SESSION_BUS_ADDRESS=" + bus_address,
      // The sanitizer build's leak report must fail the exit status.
      "ASAN_OPTIONS=detect_leaks=1:exitcode=23"};
  for (const std::string& extra : extra_variables) {
    std::string name = extra.substr(0, extra.find('='));
    std::erase_if(variables, [&](const std::string& v) { return v.starts_with(name + "="); });
    if (extra.find('=') != std::string::npos) variables.push_back(extra);
  }
  return variables;
}

std::string CallReply::Describe() const {
  std::ostringstream s;
  if (!transport_error.empty())
    s << "transport error: " << transport_error;
  else if (!answered)
    s << "no reply";
  else if (value)
    s << "success " << value->DebugString();
  else if (error)
    s << "error " << error->code << " / " << error->message.value_or("<nil>");
  return s.str();
}

KelvoProcess::~KelvoProcess() {
  if (pid_ > 0) Stop(SIGKILL);
}

std::optional<std::string> KelvoProcess::Start(std::vector<std::string> extra_args) {
  std::vector<std::string> args = {"--engine-socket", env_.engine_socket()};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  pid_ = Spawn(env_, args, env_.root() + "/kelvo.out", env_.root() + "/kelvo.err");
  if (pid_ < 0) return "cannot start " KELVO_BINARY;
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    auto client = std::make_unique<EngineSocketClient>();
    if (!client->Connect(env_.engine_socket())) {
      client_ = std::move(client);
      return std::nullopt;
    }
    if (int status = WaitExit(pid_, std::chrono::milliseconds(0)); status >= 0) {
      pid_ = -1;
      exit_status_ = status;
      return "kelvo exited at start with status " + std::to_string(status) + ": " + Stderr();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return "kelvo did not serve its engine socket in time";
}

CallReply KelvoProcess::Call(const std::string& method, const Value& arguments,
                             const std::string& channel, std::chrono::milliseconds limit) {
  CallReply out;
  const MethodCodec& codec = MethodCodec::Standard();
  EngineCallResult r =
      client_->SendAndWait(channel, codec.EncodeMethodCall({method, arguments}), limit);
  if (!r.ok()) {
    out.transport_error = *r.error;
    return out;
  }
  if (!r.reply) return out;
  out.answered = true;
  Result<Envelope> envelope = codec.DecodeEnvelope(*r.reply);
  if (!envelope.ok()) {
    out.transport_error = "undecodable reply: " + envelope.error().message;
  } else if (auto* v = std::get_if<Value>(&envelope.value())) {
    out.value = *v;
  } else {
    out.error = std::get<FlutterError>(envelope.value());
  }
  return out;
}

int KelvoProcess::Stop(int signal) {
  if (pid_ <= 0) return -1;
  if (client_) client_->Close();
  ::kill(pid_, signal);
  int status = WaitExit(pid_, std::chrono::seconds(10));
  if (status < 0) {
    ::kill(pid_, SIGKILL);
    WaitExit(pid_, std::chrono::seconds(5));
  }
  pid_ = -1;
  return status;
}

int KelvoProcess::WaitForExit(std::chrono::milliseconds limit) {
  if (pid_ > 0) {
    exit_status_ = WaitExit(pid_, limit);
    if (exit_status_ >= 0) pid_ = -1;
  }
  return exit_status_;
}

std::string KelvoProcess::Stderr() const {
  std::stringstream text;
  text << std::ifstream(env_.root() + "/kelvo.err").rdbuf();
  return text.str();
}

int RunKelvo(const HostEnvironment& env, const std::vector<std::string>& args, std::string* out) {
  const std::string out_path = env.root() + "/run.out";
  pid_t pid = Spawn(env, args, out_path, env.root() + "/run.err");
  if (pid < 0) return -1;
  int status = WaitExit(pid, std::chrono::seconds(10));
  if (status < 0) {
    ::kill(pid, SIGKILL);
    WaitExit(pid, std::chrono::seconds(5));
  }
  std::ifstream in(out_path);
  std::stringstream text;
  text << in.rdbuf();
  *out = text.str();
  return status;
}

}  // namespace kelvo::testing
