// hover_lock_scope: a page in the operator's browser that plots hover_lock's controllers live and changes their
// gains and desired pose.
//
// Reads "<node>/state" (quarn_common/ControllerState), "/diagnostics" and the parameter "hover_lock_config" beside
// the node; an apply writes the new values into that parameter's text and calls "<node>/reload" (std_srvs/Trigger).
// Private parameters: ~node (default "hover_lock"), ~address (default "127.0.0.1"), ~port (default 8088, 0 picks a
// free one), ~token (default: a random one). The URL printed at start-up carries the token.

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include <unistd.h>

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/ThreadPool.h>
#include <Poco/URI.h>
#include <diagnostic_msgs/DiagnosticArray.h>
#include <quarn_common/ControllerState.h>
#include <quarn_scope/config_rewrite.h>
#include <quarn_scope/event_hub.h>
#include <quarn_scope/request_checks.h>
#include <ros/callback_queue.h>
#include <ros/package.h>
#include <ros/ros.h>
#include <std_srvs/Trigger.h>

namespace
{

using Poco::Net::HTTPRequest;
using Poco::Net::HTTPResponse;
using Poco::Net::HTTPServerRequest;
using Poco::Net::HTTPServerResponse;
using quarn::scope::Refusal;

// Where Debian's libjs-chart.js puts the library.
const char* const CHART_JS = "/usr/share/javascript/chart.js/chart.min.js";
// Posts kept for a page that is behind; one post holds the state messages of a batch period: about 10 s.
constexpr std::size_t EVENT_BACKLOG = 512;
// Time the state messages gather before they go to the pages together: a page needs them no sooner, and the scope
// then wakes once a period instead of once a message, which keeps it out of the way of the node it watches.
constexpr std::chrono::milliseconds BATCH_PERIOD(20);
// How far the scope lowers its scheduling priority (nice): on a busy machine the node's step goes first.
constexpr int NICENESS = 10;
// Open event streams at once; each holds one server thread.
constexpr int MAX_STREAMS = 8;

// JSON string literal of text.
std::string jsonString(const std::string& text)
{
  std::ostringstream out;
  out << '"';
  for (const unsigned char c : text)
  {
    if (c == '"' || c == '\\')
      out << '\\' << c;
    else if (c < 0x20)
      out << "\\u" << std::hex << std::setw(4) << std::setfill('0') << static_cast<int>(c) << std::dec;
    else
      out << c;
  }
  out << '"';
  return out.str();
}

// 128 random bits as 32 hexadecimal digits.
std::string randomToken()
{
  std::random_device random;
  std::ostringstream token;
  for (int i = 0; i < 4; ++i)
    token << std::hex << std::setw(8) << std::setfill('0') << random();
  return token.str();
}

std::string stateJson(const quarn_common::ControllerState& state)
{
  std::string saturated = "[";
  for (std::size_t i = 0; i < 4; ++i)
    saturated += std::string(i == 0 ? "" : ",") + (state.saturated[i] ? "1" : "0");
  using quarn::scope::jsonArray;
  // Seconds since the epoch to the microsecond: the page plots against it and measures its lag with it.
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%.6f", state.header.stamp.toSec());
  return "{\"t\":" + std::string(stamp) + ",\"m\":" + jsonArray(state.measure, 4) +
         ",\"p\":" + jsonArray(state.proportional, 4) + ",\"i\":" + jsonArray(state.integral, 4) +
         ",\"d\":" + jsonArray(state.derivative, 4) + ",\"o\":" + jsonArray(state.output, 4) +
         ",\"c\":" + jsonArray(state.command, 4) + ",\"s\":" + saturated + "]}";
}

// The scope's ROS side and its HTTP answers; the HTTP server calls handle() from its own threads.
class Scope
{
public:
  Scope(ros::NodeHandle& nh, const std::string& node, const std::string& token, const std::string& www)
    : node_(node),
      configParam_(ros::names::append(ros::names::parentNamespace(node), "hover_lock_config")),
      token_(token),
      www_(www),
      hub_(EVENT_BACKLOG)
  {
    stateSub_ = nh.subscribe(node + "/state", 100, &Scope::onState, this);
    diagnosticsSub_ = nh.subscribe("/diagnostics", 10, &Scope::onDiagnostics, this);
    // The configuration may also change from outside (rosparam set and a reload by hand).
    configTimer_ = nh.createWallTimer(ros::WallDuration(2.0), [this](const ros::WallTimerEvent&) { refreshConfig(); });
    refreshConfig();
  }

  // Bound address and port, once the server listens.
  void listenOn(const quarn::scope::ServerAddress& server) { server_ = server; }

  // The page's address, "http://host:port/" (an IPv6 host in brackets).
  std::string url() const
  {
    const bool v6 = server_.address.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + server_.address + "]" : server_.address) + ":" + std::to_string(server_.port) + "/";
  }

  // Ends every open event stream.
  void close() { hub_.close(); }

  // Sends the state messages received since the last call to the pages in one post; call on the spin thread.
  void flush()
  {
    if (batch_.empty())
      return;
    hub_.post(batch_);
    batch_.clear();
  }

  void handle(HTTPServerRequest& request, HTTPServerResponse& response)
  {
    try
    {
      const std::string host = request.get("Host", "");
      if (!quarn::scope::hostAllowed(host, server_))
        throw Refusal(403, "the Host header does not name this server");
      if (!quarn::scope::originAllowed(request.get("Origin", ""), host))
        throw Refusal(403, "requests from another site's page are refused");
      const std::string path = Poco::URI(request.getURI()).getPath();
      const bool get = request.getMethod() == HTTPRequest::HTTP_GET;
      if (get && path == "/")
        sendFile(response, www_ + "/index.html", "text/html; charset=utf-8");
      else if (get && path == "/scope.js")
        sendFile(response, www_ + "/scope.js", "text/javascript");
      else if (get && path == "/chart.js")
        sendFile(response, CHART_JS, "text/javascript");
      else if (get && path == "/config.xml")
        sendConfig(response);
      else if (get && path == "/events")
        stream(response);
      else if (path == "/apply" && request.getMethod() == HTTPRequest::HTTP_POST)
        apply(request, response);
      else
        throw Refusal(404, "no such page: " + path);
    }
    catch (const Refusal& refusal)
    {
      response.setKeepAlive(false);
      send(response, static_cast<HTTPResponse::HTTPStatus>(refusal.status), "application/json",
           "{\"success\":false,\"message\":" + jsonString(refusal.what()) + "}");
    }
  }

private:
  void onState(const quarn_common::ControllerState& state)
  {
    batch_ += quarn::scope::sseEvent("state", stateJson(state));
  }

  // The node's own status, recognised by the hardware id its diagnostics carry.
  void onDiagnostics(const diagnostic_msgs::DiagnosticArray& array)
  {
    for (const diagnostic_msgs::DiagnosticStatus& status : array.status)
      if (status.hardware_id == node_)
        hub_.postSticky("diagnostics",
                        quarn::scope::sseEvent("diagnostics", "{\"level\":" + std::to_string(status.level) +
                                                                  ",\"message\":" + jsonString(status.message) + "}"));
  }

  // Sends the configuration's gains and pose to the pages when they changed.
  void refreshConfig()
  {
    std::string text;
    ros::param::get(configParam_, text);
    std::lock_guard<std::mutex> lock(configMutex_);
    const std::string json = quarn::scope::configJson(text);
    if (json != configJson_)
    {
      configJson_ = json;
      hub_.postSticky("config", quarn::scope::sseEvent("config", json));
    }
  }

  static void send(HTTPServerResponse& response, HTTPResponse::HTTPStatus status, const std::string& type,
                   const std::string& body)
  {
    response.setStatus(status);
    response.setContentType(type);
    response.set("Cache-Control", "no-store");
    // No other site may show the page in a frame and have the operator click in it.
    response.set("X-Frame-Options", "DENY");
    response.sendBuffer(body.data(), body.size());
  }

  static void sendFile(HTTPServerResponse& response, const std::string& path, const std::string& type)
  {
    std::ifstream file(path, std::ios::binary);
    if (!file)
      throw Refusal(404, "cannot read " + path);
    std::ostringstream text;
    text << file.rdbuf();
    send(response, HTTPResponse::HTTP_OK, type, text.str());
  }

  void sendConfig(HTTPServerResponse& response) const
  {
    std::string text;
    if (!ros::param::get(configParam_, text))
      throw Refusal(404, "the parameter " + configParam_ + " is not set");
    response.set("Content-Disposition", "attachment; filename=\"hover_lock_config.xml\"");
    send(response, HTTPResponse::HTTP_OK, "application/xml", text);
  }

  // Server-sent events until the page goes away or the server stops.
  void stream(HTTPServerResponse& response)
  {
    if (++streams_ > MAX_STREAMS)
    {
      --streams_;
      throw Refusal(503, "too many open pages");
    }
    response.setContentType("text/event-stream");
    response.set("Cache-Control", "no-store");
    response.setChunkedTransferEncoding(true);
    try
    {
      std::ostream& out = response.send();
      std::string text = "retry: 1000\n\n";
      std::uint64_t next = hub_.start(text);
      while (out && !hub_.closed())
      {
        // A comment now and then finds a page that went away.
        out << (text.empty() ? std::string(": idle\n\n") : text);
        out.flush();
        text.clear();
        next = hub_.waitFrom(next, std::chrono::seconds(1), text);
      }
    }
    catch (const Poco::Exception&)
    {
      // The page closed the connection.
    }
    --streams_;
  }

  void apply(HTTPServerRequest& request, HTTPServerResponse& response)
  {
    if (!quarn::scope::tokensEqual(request.get("X-Scope-Token", ""), token_))
      throw Refusal(403, "changing gains needs the token printed at start-up");
    // Without either the body would run to the end of the connection.
    if (!request.hasContentLength() && !request.getChunkedTransferEncoding())
      throw Refusal(411, "the body needs a Content-Length");
    if (request.hasContentLength() && request.getContentLength64() > static_cast<Poco::Int64>(quarn::scope::MAX_BODY))
      throw Refusal(413, "the body is over 64 kB");
    std::string body(quarn::scope::MAX_BODY + 1, '\0');
    request.stream().read(&body[0], body.size());
    body.resize(request.stream().gcount());
    if (body.size() > quarn::scope::MAX_BODY)
      throw Refusal(413, "the body is over 64 kB");
    const quarn::scope::ConfigEdits edits = quarn::scope::parseEdits(body);

    std::lock_guard<std::mutex> lock(applyMutex_);
    std::string old;
    if (!ros::param::get(configParam_, old))
      throw Refusal(409, "the parameter " + configParam_ + " is not set");
    std::string text;
    try
    {
      text = quarn::scope::rewriteConfig(old, edits);
    }
    catch (const std::runtime_error& e)
    {
      throw Refusal(409, e.what());
    }
    ros::param::set(configParam_, text);
    std_srvs::Trigger reload;
    const std::string service = node_ + "/reload";
    const bool answered = ros::service::call(service, reload);
    // The parameter keeps holding what the node runs.
    if (!answered || !reload.response.success)
      ros::param::set(configParam_, old);
    if (!answered)
      throw Refusal(503, service + " did not answer: is hover_lock running?");
    refreshConfig();
    send(response, HTTPResponse::HTTP_OK, "application/json",
         std::string("{\"success\":") + (reload.response.success ? "true" : "false") +
             ",\"message\":" + jsonString(reload.response.message) + "}");
  }

  const std::string node_;
  const std::string configParam_;
  const std::string token_;
  const std::string www_;
  quarn::scope::ServerAddress server_;
  quarn::scope::EventHub hub_;
  std::atomic<int> streams_{ 0 };
  std::mutex applyMutex_;
  std::mutex configMutex_;
  std::string configJson_;
  std::string batch_;  // state events not yet posted; spin thread only
  ros::Subscriber stateSub_;
  ros::Subscriber diagnosticsSub_;
  ros::WallTimer configTimer_;
};

class Handler : public Poco::Net::HTTPRequestHandler
{
public:
  explicit Handler(Scope& scope) : scope_(scope) {}
  void handleRequest(HTTPServerRequest& request, HTTPServerResponse& response) override
  {
    scope_.handle(request, response);
  }

private:
  Scope& scope_;
};

class HandlerFactory : public Poco::Net::HTTPRequestHandlerFactory
{
public:
  explicit HandlerFactory(Scope& scope) : scope_(scope) {}
  Poco::Net::HTTPRequestHandler* createRequestHandler(const HTTPServerRequest&) override { return new Handler(scope_); }

private:
  Scope& scope_;
};

}  // namespace

// The page's server on address and port (0: a free one), started; null, after a FATAL line, when it cannot listen.
std::unique_ptr<Poco::Net::HTTPServer> serve(Scope& scope, Poco::ThreadPool& threads, const std::string& address,
                                             int port)
{
  try
  {
    Poco::Net::ServerSocket socket(Poco::Net::SocketAddress(address, static_cast<Poco::UInt16>(port)));
    const Poco::Net::SocketAddress bound = socket.address();
    scope.listenOn({ bound.host().toString(), bound.port() });
    Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
    params->setMaxThreads(MAX_STREAMS + 4);
    auto server = std::make_unique<Poco::Net::HTTPServer>(new HandlerFactory(scope), threads, socket, params);
    server->start();
    return server;
  }
  catch (const Poco::Exception& e)
  {
    ROS_FATAL(
        "hover_lock_scope cannot serve on %s port %d: %s (set ~address and ~port, or ~port 0 for any free "
        "port)",
        address.c_str(), port, e.displayText().c_str());
    return nullptr;
  }
}

// Callbacks in batches until shutdown: wake on the first message, handle all that wait, then let more gather.
void spinInBatches(Scope& scope)
{
  while (ros::ok())
  {
    ros::getGlobalCallbackQueue()->callAvailable(ros::WallDuration(0.1));
    scope.flush();
    std::this_thread::sleep_for(BATCH_PERIOD);
  }
}

int main(int argc, char** argv)
{
  // First, so that every thread of the scope inherits it.
  errno = 0;
  if (nice(NICENESS) == -1 && errno != 0)
    ROS_WARN("hover_lock_scope cannot lower its priority: %s", std::strerror(errno));
  ros::init(argc, argv, "hover_lock_scope");
  ros::NodeHandle nh;
  ros::NodeHandle privateNh("~");

  const std::string node = nh.resolveName(privateNh.param<std::string>("node", "hover_lock"));
  const std::string address = privateNh.param<std::string>("address", "127.0.0.1");
  const int port = privateNh.param("port", 8088);
  std::string token = privateNh.param<std::string>("token", "");
  if (token.empty())
    token = randomToken();

  const std::string www = ros::package::getPath("quarn_scope") + "/www";
  if (!std::ifstream(www + "/index.html"))
  {
    ROS_FATAL(
        "hover_lock_scope cannot find its page %s/index.html: is quarn_scope on ROS_PACKAGE_PATH (source the "
        "workspace's setup.bash)?",
        www.c_str());
    return 1;
  }
  if (!std::ifstream(CHART_JS))
    ROS_ERROR("hover_lock_scope: %s is missing, the page will draw no charts: install libjs-chart.js", CHART_JS);

  Scope scope(nh, node, token, www);
  Poco::ThreadPool threads("hover_lock_scope", 2, MAX_STREAMS + 4);
  const std::unique_ptr<Poco::Net::HTTPServer> server = serve(scope, threads, address, port);
  if (!server)
    return 1;
  ROS_INFO("hover_lock_scope: watching %s; open %s?token=%s", node.c_str(), scope.url().c_str(), token.c_str());

  spinInBatches(scope);
  scope.close();
  server->stopAll(true);
  return 0;
}
