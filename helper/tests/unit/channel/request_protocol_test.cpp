#include <gtest/gtest.h>

#include "main/channel/reply.h"
#include "main/channel/request.h"

namespace lumar {
namespace {

std::optional<Request> parse(std::string_view line) { return parse_request(line); }

TEST(RequestParsing, AcceptsEachRequestInObjectAndArrayForm) {
  EXPECT_EQ(parse(R"({"op":"ping"})"), Request(Ping{}));
  EXPECT_EQ(parse(R"(["ping"])"), Request(Ping{}));
  EXPECT_EQ(parse(R"({"op":"kill","pid":7})"), Request(Kill{7}));
  EXPECT_EQ(parse(R"({"pid":7,"op":"kill"})"), Request(Kill{7}));
  EXPECT_EQ(parse(R"(["kill",7])"), Request(Kill{7}));
  EXPECT_EQ(parse(R"({"op":"kill","pid":18446744073709551615})"),
            Request(Kill{18446744073709551615ULL}));
  EXPECT_EQ(parse(R"({"op":"write_hosts","domains":[]})"), Request(WriteHosts{}));
  EXPECT_EQ(parse(R"(["write_hosts",["a","b"]])"), Request(WriteHosts{{"a", "b"}}));
  EXPECT_EQ(parse(R"({"signature":"","op":"install_update","path":""})"),
            Request(InstallUpdate{"", ""}));
  EXPECT_EQ(parse(R"(["install_update","C:\\p.msi","sig"])"),
            Request(InstallUpdate{"C:\\p.msi", "sig"}));
  // Trailing JSON white space, and members a variant does not list.
  EXPECT_EQ(parse("{\"op\":\"ping\"} \t\r\n"), Request(Ping{}));
  EXPECT_EQ(parse(R"({"op":"ping","pid":7})"), Request(Ping{}));
  EXPECT_EQ(parse(R"({"op":"ping","pid":"x","pid":[1,{"a":null}]})"), Request(Ping{}));
  EXPECT_EQ(parse(R"({"op":"kill","pid":7,"extra":{"deep":[[[]]]}})"), Request(Kill{7}));
}

TEST(RequestParsing, RefusesEveryMalformedShape) {
  for (const char* line : {
           "",
           "   ",
           "null",
           "\"ping\"",
           "7",
           "{}",
           "[]",
           R"({"op":"Kill","pid":7})",
           R"({"op":"kill"})",
           R"({"op":"kill","pid":7,"pid":8})",
           R"({"op":"ping","op":"ping"})",
           R"({"op":7})",
           R"({"op":null})",
           R"({"op":["ping"]})",
           R"({"op":"kill","pid":-1})",
           R"({"op":"kill","pid":-0})",
           R"({"op":"kill","pid":1.0})",
           R"({"op":"kill","pid":1e2})",
           R"({"op":"kill","pid":"7"})",
           R"({"op":"kill","pid":18446744073709551616})",
           R"({"op":"kill","pid":007})",
           R"({"op":"write_hosts","domains":["a",1]})",
           R"({"op":"write_hosts","domains":["a",["b"]]})",
           R"({"op":"write_hosts","domains":"a"})",
           R"({"op":"install_update","path":"p"})",
           R"({"op":"install_update","path":1,"signature":"s"})",
           R"(["kill"])",
           R"(["kill",7,8])",
           R"(["ping",1])",
           R"([7,"ping"])",
           R"({"op":"ping"}x)",
           R"({"op":"ping"}{"op":"ping"})",
           R"({"op":"ping",})",
           "\xEF\xBB\xBF{\"op\":\"ping\"}",
           R"({"op":"ping","s":"\ud800"})",
       }) {
    EXPECT_EQ(parse(line), std::nullopt) << line;
  }
  EXPECT_EQ(parse_request(std::nullopt), std::nullopt);
  EXPECT_EQ(parse(std::string_view("{\"op\":\"ping\"}\0", 14)), std::nullopt);
  EXPECT_EQ(parse(std::string_view("{\"op\":\"pi\0ng\"}", 14)), std::nullopt);
}

TEST(RequestParsing, NestingIsLimitedTo128Levels) {
  auto nested = [](int depth) {
    return R"({"op":"ping","x":)" + std::string(depth - 1, '[') + std::string(depth - 1, ']') +
           "}";
  };
  EXPECT_EQ(parse(nested(128)), Request(Ping{}));
  EXPECT_EQ(parse(nested(129)), std::nullopt);
  // Far deeper than any stack would take recursively.
  EXPECT_EQ(parse(std::string(100000, '[') + std::string(100000, ']')), std::nullopt);
}

TEST(ReplySerialization, WritesExactlyTwoShapes) {
  EXPECT_EQ(serialize_reply(Reply::success()), R"({"ok":true})");
  EXPECT_EQ(serialize_reply(Reply::failure("bad request")),
            R"({"ok":false,"error":"bad request"})");
  EXPECT_EQ(serialize_reply(Reply::failure("read C:\\x\"y\": no")),
            R"({"ok":false,"error":"read C:\\x\"y\": no"})");
  EXPECT_EQ(serialize_reply(Reply::failure("a\nb\r\t\b\f\x01\x1f\x7f/é")),
            "{\"ok\":false,\"error\":\"a\\nb\\r\\t\\b\\f\\u0001\\u001f\x7f/é\"}");
}

}  // namespace
}  // namespace lumar
