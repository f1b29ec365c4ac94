// The scope's request checks, the configuration rewrite and the event fan-out, without ROS or a network.

#include <gtest/gtest.h>

#include <quarn_scope/config_rewrite.h>
#include <quarn_scope/event_hub.h>
#include <quarn_scope/request_checks.h>

using namespace quarn::scope;

TEST(RequestChecks, TokensMatchOnlyWhenEqual)
{
  EXPECT_TRUE(tokensEqual("a1b2c3", "a1b2c3"));
  for (const char* given : { "", "a1b2c4", "a1b2c", "a1b2c3d", "A1b2c3" })
    EXPECT_FALSE(tokensEqual(given, "a1b2c3")) << given;
  EXPECT_FALSE(tokensEqual("x", ""));
}

TEST(RequestChecks, HostMustNameThisServer)
{
  const ServerAddress loopback{ "127.0.0.1", 8088 };
  const ServerAddress wildcard{ "0.0.0.0", 8088 };
  const ServerAddress lan{ "192.168.1.7", 8088 };
  const ServerAddress v6{ "::1", 8088 };
  struct Case
  {
    const char* host;
    const ServerAddress& server;
    bool allowed;
  };
  const Case cases[] = {
    { "127.0.0.1:8088", loopback, true },
    { "localhost:8088", loopback, true },
    { "127.0.0.1:8089", loopback, false },
    { "127.0.0.1", loopback, false },
    { "evil.example:8088", loopback, false },  // a rebound domain name
    { "", loopback, false },
    { "192.168.1.7:8088", lan, true },
    { "localhost:8088", lan, false },
    { "127.0.0.1:8088", lan, false },
    { "10.0.0.3:8088", wildcard, true },
    { "vehicle.lan:8088", wildcard, false },
    { "[::1]:8088", v6, true },
    { "[::1]:80", v6, false },
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.allowed, hostAllowed(c.host, c.server)) << c.host << " at " << c.server.address;
}

TEST(RequestChecks, OriginMustBeThisServersPageWhenSent)
{
  EXPECT_TRUE(originAllowed("", "127.0.0.1:8088"));
  EXPECT_TRUE(originAllowed("http://127.0.0.1:8088", "127.0.0.1:8088"));
  for (const char* origin : { "http://evil.example", "null", "https://127.0.0.1:8088", "http://127.0.0.1:8089" })
    EXPECT_FALSE(originAllowed(origin, "127.0.0.1:8088")) << origin;
}

TEST(RequestChecks, EditsTakeFiniteNumbersOfEachItemsCount)
{
  const ConfigEdits edits = parseEdits(R"({"pid_config_x": [2, 0.3, 0.5], "desired_pose": [1, -2, 3, 0, 0, 1.5]})");
  ASSERT_EQ(2u, edits.size());
  EXPECT_EQ((std::vector<double>{ 2, 0.3, 0.5 }), edits.at("pid_config_x"));
  EXPECT_EQ((std::vector<double>{ 1, -2, 3, 0, 0, 1.5 }), edits.at("desired_pose"));
}

TEST(RequestChecks, AnythingButFiniteNumbersIsRefusedWith400)
{
  // body, what the message says
  const std::pair<const char*, const char*> cases[] = {
    { "pid_config_x=1", "not JSON" },
    { "[1, 2, 3]", "JSON object" },
    { "{}", "nothing to apply" },
    { R"({"mode": [0, 0, 0]})", "'mode' cannot be edited" },
    { R"({"pid_config_x": [1, 2]})", "pid_config_x needs 3 finite numbers" },
    { R"({"pid_config_x": [1, 2, "3"]})", "pid_config_x needs 3" },
    { R"({"pid_config_x": [1, 2, true]})", "pid_config_x needs 3" },
    { R"({"pid_config_x": [1, 2, null]})", "pid_config_x needs 3" },
    { R"({"pid_config_x": [1, 2, 1e999]})", "1e999" },
    { R"({"pid_config_x": [1, 2, NaN]})", "not JSON" },
    { R"({"desired_pose": 3})", "desired_pose needs 6" },
  };
  for (const auto& [body, message] : cases)
  {
    try
    {
      parseEdits(body);
      ADD_FAILURE() << "accepted " << body;
    }
    catch (const Refusal& refusal)
    {
      EXPECT_EQ(400, refusal.status) << body;
      EXPECT_NE(std::string::npos, std::string(refusal.what()).find(message)) << body << ": " << refusal.what();
    }
  }
}

namespace
{
const std::string CONFIG = R"(<hover_lock>
  <!-- the operator's note -->
  <mode type="integer" value="1"/>
  <desired_pose type="vector" value="0.0 0.0 2.0 0.0 0.0 0.0"/>
  <pid_config_x type="vector" value="2.5 0.3 0.5"/>
  <pid_config_y type="vector" value="2.5 0.3 0.5"/>
  <pid_config_z type="vector" value="2.0 0.1 0.0"/>
  <pid_config_yaw type="vector" value="2.0 0.0 0.0"/>
</hover_lock>)";
}

TEST(ConfigRewrite, ChangesTheEditedItemsOnly)
{
  const std::string text = rewriteConfig(CONFIG, { { "pid_config_x", { 2.0, 0.1 + 0.2, 0.25 } } });
  std::string expected = CONFIG;
  expected.replace(expected.find("2.5 0.3 0.5"), 11, "2 0.30000000000000004 0.25");
  EXPECT_EQ(expected + "\n", text);
  quarn::xml::XmlParamDoc doc;
  doc.loadXmlString(text);
  EXPECT_EQ(0.1 + 0.2, doc.getVector("hover_lock/pid_config_x")(1));
}

TEST(ConfigRewrite, AMissingItemIsNamedAndNothingIsWritten)
{
  const std::string noYaw = R"(<hover_lock><pid_config_x type="vector" value="1 0 0"/></hover_lock>)";
  EXPECT_THROW(
      {
        try
        {
          rewriteConfig(noYaw, { { "pid_config_yaw", { 1, 0, 0 } } });
        }
        catch (const std::runtime_error& e)
        {
          EXPECT_NE(std::string::npos, std::string(e.what()).find("cannot set pid_config_yaw")) << e.what();
          throw;
        }
      },
      std::runtime_error);
}

TEST(ConfigRewrite, PageSeesModeGainsAndPose)
{
  EXPECT_EQ(R"({"mode":1,"desired_pose":[0,0,2,0,0,0],"pid_config_x":[2.5,0.3,0.5],"pid_config_y":[2.5,0.3,0.5],)"
            R"("pid_config_yaw":[2,0,0],"pid_config_z":[2,0.1,0]})",
            configJson(CONFIG));
  EXPECT_EQ("{}", configJson("<hover_lock>"));
}

TEST(EventHub, AStreamFarBehindSkipsToTheKeptEvents)
{
  EventHub hub(3);
  std::string text;
  std::uint64_t next = hub.start(text);
  for (const char* event : { "a", "b", "c", "d", "e" })
    hub.post(event);
  next = hub.waitFrom(next, std::chrono::milliseconds(0), text);
  EXPECT_EQ("cde", text);
  EXPECT_EQ(5u, next);
  hub.post("f");
  text.clear();
  hub.waitFrom(next, std::chrono::milliseconds(0), text);
  EXPECT_EQ("f", text);
}

TEST(EventHub, ANewStreamStartsWithTheLatestStickyEvents)
{
  EventHub hub(8);
  hub.postSticky("config", "c1");
  hub.postSticky("config", "c2");
  hub.postSticky("diagnostics", "d1");
  hub.post("s1");
  std::string text;
  const std::uint64_t next = hub.start(text);
  EXPECT_EQ("c2d1", text);
  text.clear();
  hub.waitFrom(next, std::chrono::milliseconds(0), text);
  EXPECT_EQ("", text);
}
