#ifndef QUARN_SCOPE_REQUEST_CHECKS_H
#define QUARN_SCOPE_REQUEST_CHECKS_H

// What hover_lock_scope checks before it answers a request: that the request names this server (Host), comes from
// this server's own page (Origin), carries the write token, and asks for finite gains and pose in a small body.
//
//   quarn::scope::ServerAddress server{ "127.0.0.1", 8088 };
//   quarn::scope::hostAllowed("localhost:8088", server);                 // true
//   quarn::scope::originAllowed("http://evil.example", "localhost:8088"); // false
//   quarn::scope::ConfigEdits edits = quarn::scope::parseEdits(R"({"pid_config_x": [2, 0.3, 0.5]})");

#include <cmath>
#include <cstddef>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <Poco/Exception.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/IPAddress.h>

namespace quarn
{
namespace scope
{

/// Largest request body accepted (bytes); larger ones are refused with 413.
constexpr std::size_t MAX_BODY = 64 * 1024;

/// A request the scope refuses: the HTTP status to answer and the message for the operator.
struct Refusal : std::runtime_error
{
  /// status: HTTP status code (400, 403, 413); message: one line saying why.
  Refusal(int status, const std::string& message) : std::runtime_error(message), status(status) {}
  int status;  ///< HTTP status code of the answer
};

/// Where the server listens, as the browser reaches it.
struct ServerAddress
{
  std::string address;  ///< bound IP address: "127.0.0.1", "::1", or a wildcard "0.0.0.0" / "::"
  int port = 0;         ///< bound TCP port, 1..65535
};

/// Item name -> new numbers, for the items an apply changes.
using ConfigEdits = std::map<std::string, std::vector<double>>;

/// Number of numbers each editable item holds: three gains per axis (kp, ki, kd) and the six-entry pose.
inline const std::map<std::string, std::size_t>& editableItems()
{
  static const std::map<std::string, std::size_t> items = {
    { "pid_config_x", 3 }, { "pid_config_y", 3 }, { "pid_config_z", 3 }, { "pid_config_yaw", 3 }, { "desired_pose", 6 }
  };
  return items;
}

/// Whether given equals expected, in a time that depends on the lengths only, not on where they differ.
inline bool tokensEqual(const std::string& given, const std::string& expected)
{
  unsigned char diff = given.size() == expected.size() ? 0 : 1;
  const std::size_t n = std::max(given.size(), expected.size());
  for (std::size_t i = 0; i < n; ++i)
  {
    const unsigned char g = i < given.size() ? given[i] : 0;
    const unsigned char e = i < expected.size() ? expected[i] : 0;
    diff |= g ^ e;
  }
  return diff == 0;
}

/// Whether the address text is a loopback IP address ("127.0.0.1", "::1").
inline bool isLoopback(const std::string& address)
{
  Poco::Net::IPAddress ip;
  return Poco::Net::IPAddress::tryParse(address, ip) && ip.isLoopback();
}

/// Whether a Host header ("name:port", "[v6]:port") names this server. The name must be the bound address,
/// "localhost" for a loopback one, or any IP literal for a wildcard one: a domain name that points here
/// (DNS rebinding) is refused. A missing port means 80.
inline bool hostAllowed(const std::string& host, const ServerAddress& server)
{
  std::string name = host;
  std::string port = "80";
  const std::size_t colon = host.rfind(':');
  const std::size_t bracket = host.rfind(']');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket))
  {
    name = host.substr(0, colon);
    port = host.substr(colon + 1);
  }
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
    name = name.substr(1, name.size() - 2);
  if (port != std::to_string(server.port))
    return false;
  Poco::Net::IPAddress ip;
  const bool literal = Poco::Net::IPAddress::tryParse(name, ip);
  Poco::Net::IPAddress bound;
  if (!Poco::Net::IPAddress::tryParse(server.address, bound))
    return false;
  if (bound.isWildcard())
    return literal || name == "localhost";
  if (literal)
    return ip == bound;
  return name == "localhost" && bound.isLoopback();
}

/// Whether a request's Origin header (empty when absent) is this server's own page, the one at "http://" + host.
/// Browsers send Origin with every write; a client without one (curl) is left to the token.
inline bool originAllowed(const std::string& origin, const std::string& host)
{
  return origin.empty() || origin == "http://" + host;
}

/// The edits of an apply body: a JSON object of editable items, each an array of its count of finite numbers,
/// e.g. {"pid_config_x": [2, 0.3, 0.5], "desired_pose": [0, 0, 2, 0, 0, 0]}. Throws Refusal 400 naming the fault.
inline ConfigEdits parseEdits(const std::string& body)
{
  Poco::Dynamic::Var parsed;
  try
  {
    parsed = Poco::JSON::Parser().parse(body);
  }
  catch (const Poco::Exception& e)
  {
    throw Refusal(400, "the body is not JSON: " + e.displayText());
  }
  if (parsed.type() != typeid(Poco::JSON::Object::Ptr))
    throw Refusal(400, "the body must be a JSON object of items");
  const Poco::JSON::Object::Ptr object = parsed.extract<Poco::JSON::Object::Ptr>();
  if (object->size() == 0)
    throw Refusal(400, "nothing to apply");
  ConfigEdits edits;
  for (const auto& [name, value] : *object)
  {
    const auto item = editableItems().find(name);
    if (item == editableItems().end())
      throw Refusal(400, "'" + name + "' cannot be edited here");
    const std::string expected = name + " needs " + std::to_string(item->second) + " finite numbers";
    if (value.type() != typeid(Poco::JSON::Array::Ptr))
      throw Refusal(400, expected);
    const Poco::JSON::Array::Ptr array = value.extract<Poco::JSON::Array::Ptr>();
    if (array->size() != item->second)
      throw Refusal(400, expected);
    std::vector<double> numbers;
    for (const Poco::Dynamic::Var& entry : *array)
    {
      // Booleans and strings convert to numbers in Poco: only JSON numbers count.
      if (!entry.isNumeric() || entry.isBoolean() || !std::isfinite(entry.convert<double>()))
        throw Refusal(400, expected);
      numbers.push_back(entry.convert<double>());
    }
    edits[name] = numbers;
  }
  return edits;
}

}  // namespace scope
}  // namespace quarn

#endif  // QUARN_SCOPE_REQUEST_CHECKS_H
