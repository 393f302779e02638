#include "main/host_actions/hosts_block.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_child_programs.h"
#include "fakes/fake_environment.h"
#include "fakes/fake_hosts_file.h"
#include "hosts_expectations.h"

namespace lumar::test {
namespace {

TEST(HostsMarkers, AreTheExactBytes) {
  EXPECT_EQ(kHostsBlockStart.size(), 61u);
  EXPECT_EQ(kHostsBlockEnd.size(), 33u);
  EXPECT_NE(kHostsBlockStart.find("managed \xE2\x80\x94 do not edit"), std::string_view::npos);
}

TEST(NormalizeDomain, MatchesTheDocumentedExamples) {
  EXPECT_EQ(normalize_domain("WWW.Name.Tld/login"), "name.tld");
  EXPECT_EQ(normalize_domain("https://www.Name.Tld:443/a?b"), "name.tld");
  EXPECT_EQ(normalize_domain("http://https://name.tld"), std::nullopt);
  EXPECT_EQ(normalize_domain("www.www.name.tld"), "www.name.tld");
  EXPECT_EQ(normalize_domain("localhost"), std::nullopt);
  EXPECT_EQ(normalize_domain("a b.tld"), std::nullopt);
  EXPECT_EQ(normalize_domain("wpad#.x"), std::nullopt);
  EXPECT_EQ(normalize_domain(std::string("a\0.tld", 6)), std::nullopt);
}

TEST(NormalizeDomain, RemovesEachPrefixOnceInOrderAndCutsPathQueryPort) {
  EXPECT_EQ(normalize_domain("HTTPS://HTTP://WWW.X.TLD"), "x.tld");
  EXPECT_EQ(normalize_domain("http://www.x.tld?q=1"), "x.tld");
  EXPECT_EQ(normalize_domain("x.tld:8080"), "x.tld");
  // "/" is cut before "?", and "?" before ":".
  EXPECT_EQ(normalize_domain("a.b?c/d"), "a.b");
  EXPECT_EQ(normalize_domain("a.b:1?c"), "a.b");
  EXPECT_EQ(normalize_domain("user:pw@a.b"), std::nullopt);
  EXPECT_EQ(normalize_domain("ftp://a.b"), std::nullopt);
  // The second trim takes the white space the cuts have uncovered.
  EXPECT_EQ(normalize_domain("www. name.tld"), "name.tld");
  EXPECT_EQ(normalize_domain("name.tld /path"), "name.tld");
  // Nothing else is checked or converted.
  EXPECT_EQ(normalize_domain("a_b-9.tld"), "a_b-9.tld");
  EXPECT_EQ(normalize_domain("b\xC3\xBC"
                             "cher.de"),
            "b\xC3\xBC"
            "cher.de");
  EXPECT_EQ(normalize_domain("."), ".");
}

TEST(NormalizeDomain, TrimsEveryUnicodeWhiteSpaceAndRejectsItInside) {
  EXPECT_EQ(normalize_domain("\t\n\v\f\r x.tld \xC2\x85\xC2\xA0\xE1\x9A\x80"), "x.tld");
  EXPECT_EQ(normalize_domain("\xE2\x80\x80\xE2\x80\x8A\xE2\x80\xA8x.tld\xE2\x80\xA9\xE2\x80\xAF"
                             "\xE2\x81\x9F\xE3\x80\x80"),
            "x.tld");
  // No entry can add a line of its own to the file.
  EXPECT_EQ(normalize_domain("evil.tld\n127.0.0.1 bank.tld"), std::nullopt);
  EXPECT_EQ(normalize_domain("a\r.tld"), std::nullopt);
  EXPECT_EQ(normalize_domain("a\xC2\xA0"
                             "b.tld"),
            std::nullopt);
  EXPECT_EQ(normalize_domain("a\xE3\x80\x80"
                             "b.tld"),
            std::nullopt);
  EXPECT_EQ(normalize_domain(""), std::nullopt);
  EXPECT_EQ(normalize_domain(" \xE3\x80\x80 "), std::nullopt);
  // U+200B ZERO WIDTH SPACE is not white space in Unicode's sense.
  EXPECT_EQ(normalize_domain("a\xE2\x80\x8B"
                             "b.tld"),
            "a\xE2\x80\x8B"
            "b.tld");
}

TEST(NormalizeDomain, RejectsCommentsAndControlCharacters) {
  using namespace std::string_literals;
  // "#" would start a comment: the line would block "wpad", not what was
  // checked. Control characters are no part of a host name.
  for (const std::string& entry :
       {"name.tld#"s, "#name.tld"s, "https://www.a#b.tld/x"s, "\0name.tld"s, "name.tld\0"s,
        "a\x01.tld"s, "a\x1B[2J.tld"s, "name.tld\x1F"s, "a\x7F.tld"s}) {
    EXPECT_EQ(normalize_domain(entry), std::nullopt) << testing::PrintToString(entry);
  }
  // What the cuts remove first cannot reject the entry.
  EXPECT_EQ(normalize_domain("name.tld/#top"), "name.tld");
  EXPECT_EQ(normalize_domain("name.tld:80\x01"s), "name.tld");
  EXPECT_EQ(build_domain_list({"wpad#.x", "a\x7F.tld", "ok.tld"}),
            std::vector<std::string>{"ok.tld"});
}

TEST(NormalizeDomain, LowerCasesWithTheFullUnicodeMapping) {
  EXPECT_EQ(normalize_domain("B\xC3\x9C"
                             "CHER.DE"),
            "b\xC3\xBC"
            "cher.de");
  // U+0130 becomes two code points, "i" and U+0307.
  EXPECT_EQ(normalize_domain("\xC4\xB0STANBUL.TR"), "i\xCC\x87stanbul.tr");
  // Final sigma: the word ends before "-".
  EXPECT_EQ(normalize_domain("\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3-1.GR"),
            "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82-1.gr");
  // Prefixes are matched after lower-casing.
  EXPECT_EQ(normalize_domain("HTTPS://WWW.\xC3\x89"
                             "T\xC3\x89.FR"),
            "\xC3\xA9t\xC3\xA9.fr");
}

TEST(DomainList, KeepsTheFirstOfEachDomainInOrder) {
  EXPECT_THAT(build_domain_list({"b.tld", "WWW.A.TLD", "bad", "https://b.tld/x", "a.tld", "c.tld"}),
              ::testing::ElementsAre("b.tld", "a.tld", "c.tld"));
  EXPECT_TRUE(build_domain_list({}).empty());
  EXPECT_TRUE(build_domain_list({"", "localhost", "a b.c"}).empty());
}

TEST(HostsContent, WorkedExampleByteForByte) {
  const std::string old_content = "127.0.0.1 localhost\r\n10.0.0.5 nas\r\n" + kStart +
                                  "\r\n127.0.0.1 old.tld\r\n" + kEnd + "\r\n";
  const std::string expected = "127.0.0.1 localhost\n10.0.0.5 nas\n" + kStart +
                               "\n0.0.0.0 name.tld\n0.0.0.0 www.name.tld\n:: name.tld\n"
                               ":: www.name.tld\n" +
                               kEnd + "\n";
  EXPECT_EQ(rewrite_hosts_content(
                old_content, build_domain_list({"WWW.Name.Tld/login", "name.tld", "intranet"})),
            expected);
}

TEST(HostsContent, RemovesEveryBlockWhereverItStands) {
  const std::string old_content = "a\n" + kStart + "\nx\n" + kEnd + "\nb\n  " + kStart +
                                  "\t\ny\n\xE3\x80\x80" + kEnd + " \nc\n";
  EXPECT_EQ(rewrite_hosts_content(old_content, {"n.tld"}), "a\nb\nc\n" + block_for({"n.tld"}));
  // An empty list leaves no block at all.
  EXPECT_EQ(rewrite_hosts_content(old_content, {}), "a\nb\nc\n");
  // A stray end marker is dropped; a second start inside a block is part of it.
  EXPECT_EQ(rewrite_hosts_content(
                "a\n" + kEnd + "\nb\n" + kStart + "\nx\n" + kStart + "\ny\n" + kEnd + "\nc", {}),
            "a\nb\nc\n");
  // Look-alikes are not markers: an ASCII hyphen, text after the marker.
  const std::string hyphen = "# >>> lumar-desktop block start (managed - do not edit) >>>";
  EXPECT_EQ(rewrite_hosts_content(hyphen + "\n" + kEnd + " x\n", {}),
            hyphen + "\n" + kEnd + " x\n");
}

TEST(HostsContent, UnterminatedBlockDropsOnlyItsStartMarker) {
  EXPECT_EQ(rewrite_hosts_content("a\n" + kStart + "\nb\nc\n", {"n.tld"}),
            "a\nb\nc\n" + block_for({"n.tld"}));
  // A closed block before it is still removed.
  EXPECT_EQ(rewrite_hosts_content(kStart + "\nx\n" + kEnd + "\na\n" + kStart + "\nb\n", {}),
            "a\nb\n");
}

TEST(HostsContent, LineEnds) {
  // CRLF becomes LF; trailing empty lines go; inner empty lines and lone CRs stay.
  EXPECT_EQ(rewrite_hosts_content("a\r\n\r\nb\rc\r\n\r\n\n\r\n", {}), "a\n\nb\rc\n");
  EXPECT_EQ(rewrite_hosts_content("a", {}), "a\n");
  EXPECT_EQ(rewrite_hosts_content("a\r", {}), "a\n");
  // Nothing kept: the file begins with an empty line before the block.
  EXPECT_EQ(rewrite_hosts_content("", {"n.tld"}), "\n" + block_for({"n.tld"}));
  EXPECT_EQ(rewrite_hosts_content("\r\n\n", {}), "\n");
}

TEST(HostsContent, KeepsLinesThatAreNotUtf8ByteForByte) {
  const std::string latin1 = "10.0.0.9 caf\xE9\t# \xFF\xFE";
  const std::string broken_marker = kStart + "\xC3";
  EXPECT_EQ(
      rewrite_hosts_content(
          latin1 + "\r\n" + broken_marker + "\n" + kStart + "\n\xFF\n" + kEnd + "\n", {"n.tld"}),
      latin1 + "\n" + broken_marker + "\n" + block_for({"n.tld"}));
}

class WriteHostsBlock : public ::testing::Test {
 protected:
  WriteHostsBlock() {
    env.values["SystemRoot"] = "C:\\windows";
    programs.answer("ipconfig", {});
  }

  const std::string path = "C:\\windows\\System32\\drivers\\etc\\hosts";
  test::FakeEnvironment env;
  FakeHostsFile file;
  FakeChildPrograms programs;
  const FakeChildPrograms::Call flush{"ipconfig", {"/flushdns"}, false};
};

TEST_F(WriteHostsBlock, HostsPathFollowsSystemRoot) {
  EXPECT_EQ(hosts_path(env), path);
  env.values.erase("SystemRoot");
  EXPECT_EQ(hosts_path(env), "C:\\Windows\\System32\\drivers\\etc\\hosts");
}

TEST_F(WriteHostsBlock, ReplacesTheBlockAndFlushesTheCache) {
  file.files[path] = "127.0.0.1 localhost\r\n";
  EXPECT_EQ(write_hosts_block({"a.tld"}, file, programs, env), Reply::success());
  EXPECT_EQ(write_hosts_block({"b.tld", "B.TLD"}, file, programs, env), Reply::success());
  EXPECT_EQ(file.files[path], "127.0.0.1 localhost\n" + block_for({"b.tld"}));
  EXPECT_THAT(programs.calls, ::testing::ElementsAre(flush, flush));

  // An empty list removes the block and still flushes.
  EXPECT_EQ(write_hosts_block({}, file, programs, env), Reply::success());
  EXPECT_EQ(file.files[path], "127.0.0.1 localhost\n");
  EXPECT_EQ(programs.calls.size(), 3u);
}

TEST_F(WriteHostsBlock, MissingFileIsCreated) {
  EXPECT_EQ(write_hosts_block({"x", "n.tld"}, file, programs, env), Reply::success());
  EXPECT_EQ(file.files[path], "\n" + block_for({"n.tld"}));
}

TEST_F(WriteHostsBlock, ManyDomainsAndRepeats) {
  std::vector<std::string> entries;
  for (int i = 0; i < 10000; ++i) entries.push_back("d" + std::to_string(i) + ".tld");
  for (int i = 0; i < 10; ++i) entries.push_back("https://WWW.D7.TLD/" + std::to_string(i));
  EXPECT_EQ(write_hosts_block(entries, file, programs, env), Reply::success());
  const std::string& written = file.files[path];
  EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 1 + 2 + 4 * 10000);
  EXPECT_TRUE(written.ends_with(":: www.d9999.tld\n" + kEnd + "\n"));
  EXPECT_NE(written.find(kStart + "\n0.0.0.0 d0.tld\n"), std::string::npos);
}

TEST_F(WriteHostsBlock, UnreadableFileIsRefusedAndLeftAlone) {
  file.files[path] = "10.0.0.5 nas\n";
  file.read_error =
      "The process cannot access the file because it is being used by another "
      "process. (os error 32)";
  EXPECT_EQ(write_hosts_block({"n.tld"}, file, programs, env),
            Reply::failure("hosts write: The process cannot access the file because it is being "
                           "used by another process. (os error 32)"));
  EXPECT_EQ(file.replaces, 0);
  EXPECT_TRUE(programs.calls.empty());
}

TEST_F(WriteHostsBlock, FailedReplaceKeepsTheOldFileAndSkipsTheFlush) {
  file.files[path] = "10.0.0.5 nas\n";
  file.replace_error = "Access is denied. (os error 5)";
  EXPECT_EQ(write_hosts_block({"n.tld"}, file, programs, env),
            Reply::failure("hosts write: Access is denied. (os error 5)"));
  EXPECT_EQ(file.files[path], "10.0.0.5 nas\n");
  EXPECT_TRUE(programs.calls.empty());
}

TEST_F(WriteHostsBlock, FlushFailuresDoNotMatter) {
  programs.answer("ipconfig", {.exit_code = 1});
  EXPECT_EQ(write_hosts_block({"n.tld"}, file, programs, env), Reply::success());
  programs.answer("ipconfig", {.start_error = "The system cannot find the file specified. (os "
                                              "error 2)"});
  EXPECT_EQ(write_hosts_block({"n.tld"}, file, programs, env), Reply::success());
  EXPECT_EQ(file.files[path], "\n" + block_for({"n.tld"}));
}

}  // namespace
}  // namespace lumar::test
