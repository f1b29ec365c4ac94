#ifndef QUARN_TEST_ROS_TEST_HARNESS_H
#define QUARN_TEST_ROS_TEST_HARNESS_H

// Integration tests against a private ROS master: the master, child processes with captured output, and
// bounded waits for connections, messages and log lines.
//
// One master serves a whole test binary; each test keeps to its own namespace, testNamespace(), so tests
// share nothing but the master:
//
//   static ::testing::Environment* const rosEnv =
//       ::testing::AddGlobalTestEnvironment(new quarn_test::RosEnvironment("my_test"));
//
//   TEST(Node, Answers)
//   {
//     const std::string ns = quarn_test::testNamespace();
//     ros::param::set(ns + "/hover_lock_config", xmlText);
//     quarn_test::ChildProcess node = quarn_test::startProcess({NODE_BINARY, "__ns:=" + ns});
//     ros::NodeHandle nh(ns);
//     quarn_test::Inbox<quarn_common::BhResponse> responses(nh, "behavior_response");
//     ros::Publisher nav = nh.advertise<quarn_common::NavigationData>("navigator_data", 10);
//     ASSERT_TRUE(quarn_test::waitForSubscribers(nav)) << node.output();
//     ASSERT_TRUE(responses.waitForPublisher()) << node.output();
//     nav.publish(message);
//     ASSERT_TRUE(responses.waitForCount(1)) << node.output();
//   }
//
// Every process is stopped by its pid (SIGINT, then SIGKILL to its process group after a bound); nothing is
// ever stopped by name, since other masters and nodes may run on the same machine.

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <ros/ros.h>

extern char** environ;

namespace quarn_test
{

/// Default bound of every wait, in seconds: generous, since the machine may be shared and loaded.
constexpr double TIMEOUT = 10.0;

/// Environment variables for a child; an empty value removes the variable.
using EnvVars = std::map<std::string, std::string>;

/// Polls cond every 5 ms, handling pending ROS callbacks before each look, until it holds or timeout (s) passes.
inline bool waitUntil(const std::function<bool()>& cond, double timeout = TIMEOUT);

/// Handles ROS callbacks for seconds (s): the quiet window in which an absent message would have shown up.
inline void spinFor(double seconds);

/// A TCP port on 127.0.0.1 that was free a moment ago (another process may still take it first).
inline int freeTcpPort();

/// Whole content of a file; empty if it cannot be read.
inline std::string readFile(const std::string& path);

/// Number of non-overlapping occurrences of needle in text.
inline std::size_t countOf(const std::string& text, const std::string& needle);

/// How a child process ended.
struct ExitStatus
{
  int code = -1;            ///< exit status 0..255; -1 when ended by a signal
  int signal = 0;           ///< number of the ending signal, 0 after a normal exit
  bool coreDumped = false;  ///< whether the ending signal dumped core

  /// Readable form for assertion messages, e.g. "exit 1" or "signal 6 (core dumped)".
  std::string describe() const;
};

/// A child process in a process group of its own, its stdout and stderr written to one log file.
///
///   quarn_test::ChildProcess p({"/bin/echo", "hi"}, {}, "/tmp/echo.log");
///   std::optional<quarn_test::ExitStatus> end = p.waitExit(5.0);   // end->code == 0, p.output() == "hi\n"
///
/// The destructor stops a child that still runs. Movable, not copyable.
class ChildProcess
{
public:
  /// Starts argv[0] (a path, or a name looked up in PATH) with the caller's environment changed by env.
  /// Throws std::runtime_error when the process cannot be created.
  ChildProcess(const std::vector<std::string>& argv, const EnvVars& env, const std::string& logPath);
  ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_), logPath_(std::move(other.logPath_)), status_(other.status_)
  {
    other.pid_ = 0;
  }
  ChildProcess& operator=(ChildProcess&&) = delete;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() { stop(); }

  /// Process id (also its process group id); 0 for a moved-from object.
  pid_t pid() const { return pid_; }
  /// Path of the log file that receives the child's stdout and stderr.
  const std::string& logPath() const { return logPath_; }
  /// Everything the child has written so far.
  std::string output() const { return readFile(logPath_); }
  /// Waits (bounded, s) until the output holds needle at least count times.
  bool waitForOutput(const std::string& needle, std::size_t count = 1, double timeout = TIMEOUT) const;
  /// Whether the child has not ended yet (reaps it if it has).
  bool running();
  /// Waits (bounded, s) for the child to end on its own; empty if it still runs.
  std::optional<ExitStatus> waitExit(double timeout = TIMEOUT);
  /// Sends SIGINT; after grace seconds SIGKILL to the whole process group. Returns how the child ended.
  ExitStatus stop(double grace = 5.0);

private:
  bool reap(int options);

  pid_t pid_ = 0;
  std::string logPath_;
  std::optional<ExitStatus> status_;
};

/// Test environment that owns one private master for the whole test binary and makes the test process a ROS
/// node of it. SetUp picks a free port, starts `rosmaster --core -p PORT` (ROS_HOSTNAME 127.0.0.1), waits until
/// it answers, sets ROS_MASTER_URI and calls ros::init; TearDown shuts ROS down and stops the master.
/// Register it once per binary with ::testing::AddGlobalTestEnvironment.
class RosEnvironment : public ::testing::Environment
{
public:
  /// testNodeName: ROS name of the test process (made anonymous).
  explicit RosEnvironment(std::string testNodeName) : nodeName_(std::move(testNodeName)) { instance() = this; }

  void SetUp() override;
  void TearDown() override;

  /// The registered environment; throws std::logic_error if none is registered.
  static RosEnvironment& get();
  /// URI of the private master, e.g. "http://127.0.0.1:40123/".
  const std::string& masterUri() const { return masterUri_; }
  /// Scratch directory of this test binary: child logs, ROS_HOME and ROS_LOG_DIR.
  const std::string& workDir() const { return workDir_; }
  /// Environment every child gets: master URI, ROS_HOSTNAME, ROS_HOME, ROS_LOG_DIR, line-buffered console
  /// output and the console format "[${severity}] [${logger}]: ${message}"; ROS_NAMESPACE and ROS_IP removed.
  EnvVars childEnvironment() const;
  /// A new log file path in workDir, named after stem and numbered.
  std::string newLogPath(const std::string& stem);
  /// Stops the master; every node keeps its connections to its peers but has no master to ask.
  void stopMaster() { master_.reset(); }
  /// Starts an empty master on the port of the stopped one; true once it answers.
  bool restartMaster() { return startMaster(port_); }

private:
  static RosEnvironment*& instance()
  {
    static RosEnvironment* env = nullptr;
    return env;
  }
  bool startMaster(int port);

  std::string nodeName_;
  std::string workDir_;
  std::string masterUri_;
  int port_ = 0;
  std::optional<ChildProcess> master_;
  int logCount_ = 0;
};

/// A ROS namespace of the running test alone, "/" + test suite + "_" + test name (letters, digits, '_').
inline std::string testNamespace();

/// Starts a process (usually a node binary with its remappings, e.g. "__ns:=/x") in the child environment of
/// the registered RosEnvironment plus extraEnv; its log file is named after the running test.
inline ChildProcess startProcess(const std::vector<std::string>& argv, const EnvVars& extraEnv = {});

/// Waits (bounded, s) until the publisher has at least count connected subscribers.
inline bool waitForSubscribers(const ros::Publisher& publisher, std::uint32_t count = 1, double timeout = TIMEOUT)
{
  return waitUntil([&] { return publisher.getNumSubscribers() >= count; }, timeout);
}

/// Whether the master lists node among the publishers of every topic in published and the subscribers of every
/// topic in subscribed (all resolved names); false when no master answers.
inline bool masterLists(const std::string& node, const std::vector<std::string>& published,
                        const std::vector<std::string>& subscribed);

/// Collects every message of a topic in arrival order; waits are bounded.
///
///   quarn_test::Inbox<quarn_common::BhResponse> inbox(nh, "behavior_response");
///   ASSERT_TRUE(inbox.waitForPublisher());
///   ASSERT_TRUE(inbox.waitForCount(1));
///   EXPECT_EQ(10, inbox.last().priority);
///
/// Not copyable or movable: the subscription calls back into the object.
template <class M>
class Inbox
{
public:
  /// Subscribes to topic (resolved in nh's namespace) with a queue deep enough to keep every test message.
  Inbox(ros::NodeHandle& nh, const std::string& topic) : subscriber_(nh.subscribe(topic, 1000, &Inbox::receive, this))
  {}
  Inbox(const Inbox&) = delete;
  Inbox& operator=(const Inbox&) = delete;

  /// Waits (bounded, s) until at least count publishers are connected.
  bool waitForPublisher(std::uint32_t count = 1, double timeout = TIMEOUT) const
  {
    return waitUntil([&] { return subscriber_.getNumPublishers() >= count; }, timeout);
  }
  /// Waits (bounded, s) until at least count messages have arrived in all.
  bool waitForCount(std::size_t count, double timeout = TIMEOUT) const
  {
    return waitUntil([&] { return messages_.size() >= count; }, timeout);
  }
  /// Handles callbacks for quiet seconds; true when no message beyond count arrived by then.
  bool staysAt(std::size_t count, double quiet) const
  {
    spinFor(quiet);
    return messages_.size() == count;
  }
  /// Messages received so far, oldest first.
  const std::vector<M>& messages() const { return messages_; }
  /// Number of messages received so far.
  std::size_t size() const { return messages_.size(); }
  /// Latest message; only valid when size() > 0.
  const M& last() const { return messages_.back(); }

private:
  void receive(const boost::shared_ptr<const M>& message) { messages_.push_back(*message); }

  std::vector<M> messages_;
  ros::Subscriber subscriber_;
};

// ---------------------------------------------------------------------------------------------------------------

inline bool waitUntil(const std::function<bool()>& cond, double timeout)
{
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  while (true)
  {
    if (ros::isStarted())
    {
      ros::spinOnce();
    }
    if (cond())
    {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline)
    {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

inline void spinFor(double seconds)
{
  waitUntil([] { return false; }, seconds);
}

namespace detail
{

/// Whether node is among the nodes of topic in one list of a getSystemState reply, [[topic, [node, ...]], ...].
inline bool listed(XmlRpc::XmlRpcValue& topics, const std::string& topic, const std::string& node)
{
  for (int i = 0; i < topics.size(); ++i)
  {
    if (static_cast<std::string&>(topics[i][0]) != topic)
    {
      continue;
    }
    for (int j = 0; j < topics[i][1].size(); ++j)
    {
      if (static_cast<std::string&>(topics[i][1][j]) == node)
      {
        return true;
      }
    }
  }
  return false;
}

}  // namespace detail

inline bool masterLists(const std::string& node, const std::vector<std::string>& published,
                        const std::vector<std::string>& subscribed)
{
  XmlRpc::XmlRpcValue request, response, state;
  request[0] = ros::this_node::getName();
  if (!ros::master::execute("getSystemState", request, response, state, false))
  {
    return false;
  }
  return std::all_of(published.begin(), published.end(),
                     [&](const std::string& topic) { return detail::listed(state[0], topic, node); }) &&
         std::all_of(subscribed.begin(), subscribed.end(),
                     [&](const std::string& topic) { return detail::listed(state[1], topic, node); });
}

inline std::string readFile(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

inline std::size_t countOf(const std::string& text, const std::string& needle)
{
  std::size_t count = 0;
  for (std::size_t at = text.find(needle); !needle.empty() && at != std::string::npos;
       at = text.find(needle, at + needle.size()))
  {
    ++count;
  }
  return count;
}

inline std::string ExitStatus::describe() const
{
  if (signal == 0)
  {
    return "exit " + std::to_string(code);
  }
  return "signal " + std::to_string(signal) + (coreDumped ? " (core dumped)" : "");
}

namespace detail
{

/// Address of port (host order) on 127.0.0.1.
inline sockaddr_in loopback(int port)
{
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

/// Resolves a program name through PATH the way a shell would; a name with a '/' is taken as it is.
inline std::string findProgram(const std::string& name)
{
  if (name.find('/') != std::string::npos)
  {
    return name;
  }
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');)
  {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0)
    {
      return candidate;
    }
  }
  return name;
}

/// The caller's environment with the changes of env applied, as "NAME=value" strings.
inline std::vector<std::string> mergedEnvironment(const EnvVars& env)
{
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry)
  {
    const std::string text(*entry);
    const std::size_t eq = text.find('=');
    if (eq != std::string::npos)
    {
      merged[text.substr(0, eq)] = text.substr(eq + 1);
    }
  }
  for (const auto& [name, value] : env)
  {
    if (value.empty())
    {
      merged.erase(name);
    }
    else
    {
      merged[name] = value;
    }
  }
  std::vector<std::string> result;
  for (const auto& [name, value] : merged)
  {
    result.push_back(name + "=" + value);
  }
  return result;
}

/// Null-terminated array of pointers into strings, for execve.
inline std::vector<char*> cStrings(std::vector<std::string>& strings)
{
  std::vector<char*> pointers;
  for (std::string& s : strings)
  {
    pointers.push_back(s.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace detail

inline int freeTcpPort()
{
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0)
  {
    throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
  }
  sockaddr_in address = detail::loopback(0);
  socklen_t length = sizeof(address);
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  ::close(fd);
  if (!ok)
  {
    throw std::runtime_error("no free TCP port: " + std::string(std::strerror(errno)));
  }
  return ntohs(address.sin_port);
}

inline ChildProcess::ChildProcess(const std::vector<std::string>& argv, const EnvVars& env, const std::string& logPath)
  : logPath_(logPath)
{
  if (argv.empty())
  {
    throw std::runtime_error("ChildProcess: empty argv");
  }
  // Everything the child needs is prepared before fork: the test process runs ROS threads, so the child may
  // only make async-signal-safe calls until execve.
  const std::string program = detail::findProgram(argv[0]);
  std::vector<std::string> args = argv;
  std::vector<std::string> envStrings = detail::mergedEnvironment(env);
  std::vector<char*> argp = detail::cStrings(args);
  std::vector<char*> envp = detail::cStrings(envStrings);
  const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (log < 0)
  {
    throw std::runtime_error("cannot open " + logPath + ": " + std::strerror(errno));
  }
  const pid_t pid = ::fork();
  if (pid == 0)
  {
    ::setpgid(0, 0);
    // A test run in the background may ignore SIGINT, and ROS threads block some signals: start clean so that
    // stop() works on every child.
    ::signal(SIGINT, SIG_DFL);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    const int devNull = ::open("/dev/null", O_RDONLY);
    ::dup2(devNull, STDIN_FILENO);
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    // The test's own ROS sockets must not live on in the child and keep connections half open.
    ::close_range(3, ~0U, 0);
    ::execve(program.c_str(), argp.data(), envp.data());
    static const char failed[] = "execve failed\n";
    (void)!::write(STDERR_FILENO, failed, sizeof(failed) - 1);
    ::_exit(127);
  }
  ::close(log);
  if (pid < 0)
  {
    throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
  }
  // Also set from this side, so the group exists before anyone signals it.
  ::setpgid(pid, pid);
  pid_ = pid;
}

inline bool ChildProcess::reap(int options)
{
  if (pid_ <= 0 || status_)
  {
    return true;
  }
  int raw = 0;
  const pid_t done = ::waitpid(pid_, &raw, options);
  if (done != pid_)
  {
    return false;
  }
  ExitStatus status;
  if (WIFEXITED(raw))
  {
    status.code = WEXITSTATUS(raw);
  }
  else if (WIFSIGNALED(raw))
  {
    status.signal = WTERMSIG(raw);
    status.coreDumped = WCOREDUMP(raw);
  }
  status_ = status;
  return true;
}

inline bool ChildProcess::running()
{
  return !reap(WNOHANG);
}

inline bool ChildProcess::waitForOutput(const std::string& needle, std::size_t count, double timeout) const
{
  return waitUntil([&] { return countOf(output(), needle) >= count; }, timeout);
}

inline std::optional<ExitStatus> ChildProcess::waitExit(double timeout)
{
  if (!waitUntil([&] { return !running(); }, timeout))
  {
    return std::nullopt;
  }
  return status_;
}

inline ExitStatus ChildProcess::stop(double grace)
{
  if (pid_ <= 0)
  {
    return ExitStatus{};
  }
  if (running())
  {
    ::kill(pid_, SIGINT);
    if (!waitExit(grace))
    {
      // The leader is not reaped yet, so the group id still names this child's group only.
      ::kill(-pid_, SIGKILL);
      reap(0);
    }
  }
  return status_.value_or(ExitStatus{});
}

inline RosEnvironment& RosEnvironment::get()
{
  if (instance() == nullptr)
  {
    throw std::logic_error("no quarn_test::RosEnvironment registered");
  }
  return *instance();
}

inline EnvVars RosEnvironment::childEnvironment() const
{
  return {
    { "ROS_MASTER_URI", masterUri_ },
    { "ROS_HOSTNAME", "127.0.0.1" },
    { "ROS_IP", "" },
    { "ROS_NAMESPACE", "" },
    { "ROS_HOME", workDir_ },
    { "ROS_LOG_DIR", workDir_ + "/ros_log" },
    { "ROSCONSOLE_STDOUT_LINE_BUFFERED", "1" },
    { "ROSCONSOLE_FORMAT", "[${severity}] [${logger}]: ${message}" },
  };
}

inline std::string RosEnvironment::newLogPath(const std::string& stem)
{
  return workDir_ + "/" + stem + "_" + std::to_string(++logCount_) + ".log";
}

inline bool RosEnvironment::startMaster(int port)
{
  port_ = port;
  masterUri_ = "http://127.0.0.1:" + std::to_string(port) + "/";
  master_.emplace(std::vector<std::string>{ "rosmaster", "--core", "-p", std::to_string(port) }, childEnvironment(),
                  newLogPath("rosmaster"));
  // Answering means accepting a connection on the port while our master still runs (another process that took
  // the port first would make it exit).
  const bool answers = waitUntil(
      [&] {
        if (!master_->running())
        {
          return true;
        }
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = detail::loopback(port);
        const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        ::close(fd);
        return connected;
      },
      30.0);
  if (answers && master_->running())
  {
    return true;
  }
  master_.reset();
  return false;
}

inline void RosEnvironment::SetUp()
{
  char pattern[] = "/tmp/quarn_test_XXXXXX";
  if (::mkdtemp(pattern) == nullptr)
  {
    throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
  }
  workDir_ = pattern;
  bool started = false;
  for (int attempt = 0; attempt < 3 && !started; ++attempt)
  {
    started = startMaster(freeTcpPort());
  }
  if (!started)
  {
    throw std::runtime_error("rosmaster did not come up; logs in " + workDir_);
  }
  for (const auto& [name, value] : childEnvironment())
  {
    if (value.empty())
    {
      ::unsetenv(name.c_str());
    }
    else
    {
      ::setenv(name.c_str(), value.c_str(), 1);
    }
  }
  int argc = 0;
  ros::init(argc, nullptr, nodeName_, ros::init_options::AnonymousName | ros::init_options::NoSigintHandler);
  ros::start();
  if (!waitUntil([] { return ros::master::check(); }, 30.0))
  {
    throw std::runtime_error("the test process cannot reach " + masterUri_);
  }
}

inline void RosEnvironment::TearDown()
{
  ros::shutdown();
  master_.reset();
  // Logs are kept when something failed, for the post-mortem.
  if (!::testing::UnitTest::GetInstance()->Failed())
  {
    std::error_code ignored;
    std::filesystem::remove_all(workDir_, ignored);
  }
}

inline std::string testNamespace()
{
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "_" + info->name();
  for (char& c : name)
  {
    if (!std::isalnum(static_cast<unsigned char>(c)))
    {
      c = '_';
    }
  }
  return "/" + name;
}

inline ChildProcess startProcess(const std::vector<std::string>& argv, const EnvVars& extraEnv)
{
  RosEnvironment& env = RosEnvironment::get();
  EnvVars merged = env.childEnvironment();
  for (const auto& [name, value] : extraEnv)
  {
    merged[name] = value;
  }
  return ChildProcess(argv, merged, env.newLogPath(testNamespace().substr(1)));
}

}  // namespace quarn_test

#endif  // QUARN_TEST_ROS_TEST_HARNESS_H
