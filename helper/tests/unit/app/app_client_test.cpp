// The application's library: its request lines, its reading of replies, and
// the exchange over a scripted pipe. The real pipe and the server check run
// under Wine (client_wine_test.cpp).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

#include "app_exchange.h"
#include "app_protocol.h"
#include "fakes/fake_helper_pipe.h"
#include "update/acceptance/base64.h"

namespace lumar::app {
namespace {

using namespace std::chrono_literals;
using End = Transfer::End;

TEST(AppUpdateRequest, SendsOnlyFullUtf8PathsWithoutNul) {
  struct Case {
    std::string path;
    std::optional<std::string> refusal;
  };
  const std::vector<Case> cases = {
      {R"(C:\Users\ann\Lumar KQ Lite 1.1.0.msi)", std::nullopt},
      {"c:/updates/x.msi", std::nullopt},
      {R"(\\server\share\x.msi)", std::nullopt},
      {R"(\\?\C:\x.msi)", std::nullopt},
      {"C:\\Benutzer\\J\xC3\xBCrgen\\\xF0\x9F\x93\xA6.msi", std::nullopt},
      {"x.msi", "the package path is not a full path"},
      {"C:x.msi", "the package path is not a full path"},
      {R"(\x.msi)", "the package path is not a full path"},
      {R"(\\\x.msi)", "the package path is not a full path"},
      {"", "the package path is not a full path"},
      {std::string("C:\\a.msi\0.txt", 13), "the package path holds a NUL character"},
      {"C:\\\xC0\xAF.msi", "the package path is not UTF-8"},          // overlong
      {"C:\\\xED\xA0\x80.msi", "the package path is not UTF-8"},      // surrogate
      {"C:\\\xF4\x90\x80\x80.msi", "the package path is not UTF-8"},  // beyond U+10FFFF
      {"C:\\\xE2\x82.msi", "the package path is not UTF-8"},          // cut short
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const Result<std::string> line = update_request(c.path, "untrusted comment: x\n");
    if (c.refusal) {
      ASSERT_FALSE(line.has_value());
      EXPECT_EQ(line.error(), *c.refusal);
      continue;
    }
    ASSERT_TRUE(line.has_value()) << line.error();
    ASSERT_EQ(line->back(), '\n');
    EXPECT_EQ(line->find('\n'), line->size() - 1);
    const nlohmann::json request = nlohmann::json::parse(*line, nullptr, false);
    EXPECT_EQ(request, (nlohmann::json{{"op", "install_update"},
                                       {"path", c.path},
                                       {"signature", "dW50cnVzdGVkIGNvbW1lbnQ6IHgK"}}));
  }
}

TEST(AppUpdateRequest, SignatureIsTheCanonicalBase64TheHelperDecodes) {
  const std::vector<std::pair<std::string, std::string>> vectors = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xFB\xFF\xBF", "+/+/"},
  };
  for (const auto& [bytes, text] : vectors) EXPECT_EQ(encode_base64(bytes), text);
  std::string every_byte;
  for (int i = 0; i < 256; ++i) every_byte += static_cast<char>(i);
  const Result<Bytes> back = decode_base64(encode_base64(every_byte));
  ASSERT_TRUE(back.has_value()) << back.error();
  EXPECT_EQ(std::string(back->begin(), back->end()), every_byte);
}

TEST(AppAnswer, ReadsTheReplyOrSaysWhyThereIsNone) {
  struct Case {
    Exchange exchange;
    Answer answer;
  };
  const std::vector<Case> cases = {
      {{true, R"({"ok":true})", ""}, {true, true, ""}},
      {{true, R"({"ok":false,"error":"C:\\x.msi is too large"})", ""},
       {true, false, R"(C:\x.msi is too large)"}},
      {{true, R"({"error":"x","ok":false,"more":1})", ""}, {true, false, "x"}},
      {{true, "not json", ""}, {true, false, "the helper's reply is not understood"}},
      {{true, R"({"ok":"true"})", ""}, {true, false, "the helper's reply is not understood"}},
      {{true, R"([true])", ""}, {true, false, "the helper's reply is not understood"}},
      {{true, std::nullopt, "no reply from the helper within 2 s"},
       {true, false, "no reply from the helper within 2 s"}},
      {{false, std::nullopt, "the pipe is not served by the LumarHelper service"},
       {false, false, "the pipe is not served by the LumarHelper service"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exchange.reply.value_or(c.exchange.error));
    const Answer answer = read_answer(c.exchange);
    EXPECT_EQ(answer.sent, c.answer.sent);
    EXPECT_EQ(answer.ok, c.answer.ok);
    EXPECT_EQ(answer.error, c.answer.error);
  }
}

TEST(AppExchange, SendsTheWholeRequestAndReadsOneLineWithinOneDeadline) {
  test::FakeHelperPipe pipe;
  pipe.write_chunk = 3;
  pipe.reply = {{R"({"ok")"}, {":true}\n{\"ok\":false}\n"}};
  const std::string request = update_request(R"(C:\x.msi)", "sig").value();
  Options options;
  options.timeout = 5s;
  const auto before = std::chrono::steady_clock::now();

  const Exchange exchange = exchange_request(pipe, request, options);

  EXPECT_TRUE(exchange.sent);
  EXPECT_EQ(exchange.reply, R"({"ok":true})");
  EXPECT_EQ(pipe.written, request);
  EXPECT_EQ(pipe.connect_within, 10s);
  EXPECT_TRUE(pipe.server_checked);
  // Sending and receiving share one limit, counted from the connection.
  ASSERT_GT(pipe.deadlines.size(), 2u);
  for (const Deadline& deadline : pipe.deadlines) EXPECT_EQ(deadline, pipe.deadlines.front());
  EXPECT_GE(pipe.deadlines.front(), before + 5s);
  EXPECT_LE(pipe.deadlines.front(), std::chrono::steady_clock::now() + 5s);
}

TEST(AppExchange, SaysWhetherAnythingWentOutWhenThereIsNoReply) {
  struct Case {
    const char* name;
    std::function<void(test::FakeHelperPipe&, Options&)> script;
    bool sent;
    std::string error;
    bool server_checked;
  };
  const std::string not_served = "the pipe is not served by the LumarHelper service";
  const std::vector<Case> cases = {
      {"no server", [](auto& p, auto&) { p.connect_error = "connect to the helper: gone"; }, false,
       "connect to the helper: gone", false},
      {"another server", [&](auto& p, auto&) { p.server_refusal = not_served; }, false, not_served,
       true},
      {"stalled before the first byte", [](auto& p, auto&) { p.writes_stall_after = 0; }, false,
       "no reply from the helper within 120 s", true},
      {"stalled after some bytes", [](auto& p, auto&) { p.writes_stall_after = 5; }, true,
       "no reply from the helper within 120 s", true},
      {"silent server",
       [](auto& p, auto& o) {
         o.timeout = 2s;
         p.reply = {{R"({"ok":tr)", End::kTimedOut}};
       },
       true, "no reply from the helper within 2 s", true},
      {"closed at once", [](auto&, auto&) {}, true,
       "the helper closed the connection without a reply", true},
      {"endless line",
       [](auto& p, auto&) {
         for (int i = 0; i < 20; ++i) p.reply.push_back({std::string(kMaxReplyBytes / 16, 'x')});
       },
       true, "the helper's reply is longer than 1048576 bytes", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::FakeHelperPipe pipe;
    Options options;
    c.script(pipe, options);
    const Exchange exchange = exchange_request(pipe, ping_request(), options);
    EXPECT_EQ(exchange.sent, c.sent);
    EXPECT_EQ(exchange.reply, std::nullopt);
    EXPECT_EQ(exchange.error, c.error);
    EXPECT_EQ(pipe.server_checked, c.server_checked);
    if (!c.sent) EXPECT_EQ(pipe.written, "");
  }
}

TEST(AppExchange, TalksToAForegroundServerOnlyWhenAllowed) {
  test::FakeHelperPipe pipe;
  pipe.server_refusal = "the pipe is not served by the LumarHelper service";
  pipe.reply = {{"{\"ok\":true}\n"}};
  Options options;
  options.allow_foreground = true;
  const Exchange exchange = exchange_request(pipe, ping_request(), options);
  EXPECT_FALSE(pipe.server_checked);
  EXPECT_EQ(pipe.written, "{\"op\":\"ping\"}\n");
  EXPECT_EQ(exchange.reply, R"({"ok":true})");
}

}  // namespace
}  // namespace lumar::app
