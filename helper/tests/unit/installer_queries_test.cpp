// The installer queries over a fake msi.dll that keeps the real one's string
// protocol (128-unit first buffer, ERROR_MORE_DATA with the length) and
// counts handles, so that every path can be checked for leaks and for the
// failures a real installer will not produce on demand.
#include "update/installer_queries.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <set>

namespace lumar {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::u16string u16(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }
std::u16string until_nul(const char16_t* text) { return std::u16string(text); }

struct FakeProduct {
  std::u16string code;  // 38 units
  std::map<std::u16string, std::u16string> info;
};

class FakeMsi final : public MsiApi {
 public:
  // Package files by path, each a Property table.
  std::map<std::u16string, std::map<std::u16string, std::u16string>> packages;
  // Installed products by UpgradeCode, exactly as Windows Installer would key
  // them in this fake (case-sensitive).
  std::map<std::u16string, std::vector<FakeProduct>> families;

  std::uint32_t open_failure = 0;     // code for MsiOpenDatabaseW, e.g. 1627
  std::uint32_t view_failure = 0;     // MsiDatabaseOpenViewW
  std::uint32_t execute_failure = 0;  // MsiViewExecute
  std::u16string fail_property;       // only queries for this property fail
  std::uint32_t get_string_failure = 0;
  bool more_data_twice = false;  // the retry is answered 234 as well
  std::optional<std::uint32_t> enum_failure_at;
  std::uint32_t enum_failure_code = 1610;

  std::vector<std::u16string> queries;
  std::vector<std::uint32_t> string_sizes_offered;  // record and product info calls
  std::vector<std::u16string> product_codes_asked;  // all 39 units, 0 included
  std::vector<std::uint32_t> enum_indexes;
  std::vector<std::uint32_t> closed_zero;  // should stay empty

  std::size_t open_handles() const { return handles_.size(); }

  std::uint32_t open_database_read_only(const char16_t* path, MsiHandleValue* database) override {
    if (open_failure != 0) return open_failure;
    auto found = packages.find(until_nul(path));
    if (found == packages.end()) return 1627;
    *database = new_handle(Kind::kDatabase, &found->second, {});
    return 0;
  }

  std::uint32_t database_open_view(MsiHandleValue database, const char16_t* query,
                                   MsiHandleValue* view) override {
    const std::u16string text = until_nul(query);
    queries.push_back(text);
    const Handle& db = handles_.at(database);
    const std::u16string prefix = u16("SELECT `Value` FROM `Property` WHERE `Property`='");
    const std::u16string name = text.substr(prefix.size(), text.size() - prefix.size() - 1);
    if (view_failure != 0 && (fail_property.empty() || fail_property == name)) return view_failure;
    *view = new_handle(Kind::kView, db.table, name);
    return 0;
  }

  std::uint32_t view_execute(MsiHandleValue view) override {
    if (execute_failure != 0 &&
        (fail_property.empty() || fail_property == handles_.at(view).value)) {
      return execute_failure;
    }
    handles_.at(view).executed = true;
    return 0;
  }

  std::uint32_t view_fetch(MsiHandleValue view, MsiHandleValue* record) override {
    Handle& v = handles_.at(view);
    if (!v.executed) return 1627;
    auto row = v.table->find(v.value);
    if (row == v.table->end() || v.fetched) return kMsiNoMoreItems;
    v.fetched = true;
    *record = new_handle(Kind::kRecord, nullptr, row->second);
    return 0;
  }

  std::uint32_t record_get_string(MsiHandleValue record, std::uint32_t field, char16_t* buffer,
                                  std::uint32_t* size) override {
    EXPECT_EQ(field, 1u);
    return answer_string(handles_.at(record).value, buffer, size);
  }

  std::uint32_t close_handle(MsiHandleValue handle) override {
    if (handle == 0) closed_zero.push_back(handle);
    EXPECT_EQ(handles_.erase(handle), 1u) << "closed a handle that is not open: " << handle;
    return 0;
  }

  std::uint32_t get_product_info(const char16_t* product_code, const char16_t* attribute,
                                 char16_t* buffer, std::uint32_t* size) override {
    product_codes_asked.emplace_back(product_code, product_code + 39);
    for (const auto& [upgrade, products] : families) {
      for (const FakeProduct& product : products) {
        if (product.code != until_nul(product_code)) continue;
        auto value = product.info.find(until_nul(attribute));
        if (value == product.info.end()) return 1608;  // ERROR_UNKNOWN_PROPERTY
        return answer_string(value->second, buffer, size);
      }
    }
    return 1605;  // ERROR_UNKNOWN_PRODUCT
  }

  std::uint32_t enum_related_products(const char16_t* upgrade_code, std::uint32_t index,
                                      char16_t* product_code) override {
    enum_indexes.push_back(index);
    if (enum_failure_at && index >= *enum_failure_at) return enum_failure_code;
    auto family = families.find(until_nul(upgrade_code));
    if (family == families.end() || index >= family->second.size()) return kMsiNoMoreItems;
    const std::u16string& code = family->second[index].code;
    // The buffer must arrive zeroed: check the unit after the code too.
    EXPECT_EQ(product_code[38], u'\0');
    std::copy(code.begin(), code.end(), product_code);
    product_code[code.size()] = u'\0';
    return 0;
  }

 private:
  enum class Kind { kDatabase, kView, kRecord };
  struct Handle {
    Kind kind;
    const std::map<std::u16string, std::u16string>* table = nullptr;
    std::u16string value;  // view: property name; record: the value
    bool executed = false;
    bool fetched = false;
  };

  MsiHandleValue new_handle(Kind kind, const std::map<std::u16string, std::u16string>* table,
                            std::u16string value) {
    const MsiHandleValue id = next_++;
    handles_.emplace(id, Handle{kind, table, std::move(value)});
    return id;
  }

  std::uint32_t answer_string(const std::u16string& value, char16_t* buffer, std::uint32_t* size) {
    string_sizes_offered.push_back(*size);
    if (get_string_failure != 0) return get_string_failure;
    if (value.size() >= *size || (more_data_twice && *size != 128)) {
      *size = static_cast<std::uint32_t>(value.size());
      return kMsiMoreData;
    }
    std::copy(value.begin(), value.end(), buffer);
    buffer[value.size()] = u'\0';
    *size = static_cast<std::uint32_t>(value.size());
    return 0;
  }

  std::map<MsiHandleValue, Handle> handles_;
  MsiHandleValue next_ = 100;
};

const std::string kPath = R"(C:\Windows\SystemTemp\lumar-update-7-1.msi)";
const std::u16string kLite = u"{E4D28B06-93AF-5C47-B1E2-0F5A7D3C9841}";

class InstallerQueriesTest : public ::testing::Test {
 protected:
  void add_package(std::map<std::u16string, std::u16string> properties) {
    msi.packages[u16(kPath)] = std::move(properties);
  }
  FakeProduct& add_product(const std::u16string& upgrade, const std::u16string& code) {
    auto& list = msi.families[upgrade];
    list.push_back(FakeProduct{code, {}});
    return list.back();
  }
  void TearDown() override {
    EXPECT_EQ(msi.open_handles(), 0u) << "an installer handle was left open";
    EXPECT_THAT(msi.closed_zero, IsEmpty());
  }

  FakeMsi msi;
  MsiQueries queries{msi};
};

TEST_F(InstallerQueriesTest, ReadsBothPropertiesExactlyAsStored) {
  add_package({{u"UpgradeCode", u" {e4d28b06-93af-5c47-b1e2-0f5a7d3c9841}"},
               {u"ProductVersion", u"1.1.0\n"},
               {u"ProductName", u"Lumar KQ Lite"}});
  Result<MsiPackageInfo> info = queries.read_package_properties(kPath);
  ASSERT_TRUE(info) << info.error();
  EXPECT_EQ(info->upgrade_code, " {e4d28b06-93af-5c47-b1e2-0f5a7d3c9841}");
  EXPECT_EQ(info->product_version, "1.1.0\n");
  EXPECT_THAT(msi.queries,
              ElementsAre(u"SELECT `Value` FROM `Property` WHERE `Property`='UpgradeCode'",
                          u"SELECT `Value` FROM `Property` WHERE `Property`='ProductVersion'"));
}

TEST_F(InstallerQueriesTest, ValuesBeyondTheFirstBufferAreReadThroughOneRetry) {
  const std::u16string fits(127, u'7');  // 127 units and the 0: exactly 128
  const std::u16string longer(128, u'8');
  add_package({{u"UpgradeCode", fits}, {u"ProductVersion", longer}});
  Result<MsiPackageInfo> info = queries.read_package_properties(kPath);
  ASSERT_TRUE(info) << info.error();
  EXPECT_EQ(info->upgrade_code, std::string(127, '7'));
  EXPECT_EQ(info->product_version, std::string(128, '8'));
  // One call for the first; for the second, the length plus one.
  EXPECT_THAT(msi.string_sizes_offered, ElementsAre(128u, 128u, 129u));

  msi.string_sizes_offered.clear();
  add_package({{u"UpgradeCode", std::u16string(5000, u'x')}, {u"ProductVersion", u"1"}});
  info = queries.read_package_properties(kPath);
  ASSERT_TRUE(info) << info.error();
  EXPECT_EQ(info->upgrade_code.size(), 5000u);
  EXPECT_THAT(msi.string_sizes_offered, ElementsAre(128u, 5001u, 128u));
}

TEST_F(InstallerQueriesTest, TheRetryAnswerIsFinal) {
  add_package({{u"UpgradeCode", std::u16string(200, u'x')}, {u"ProductVersion", u"1"}});
  msi.more_data_twice = true;
  Result<MsiPackageInfo> info = queries.read_package_properties(kPath);
  ASSERT_FALSE(info);
  EXPECT_EQ(info.error(), "read UpgradeCode (234)");
  EXPECT_THAT(msi.string_sizes_offered, ElementsAre(128u, 201u));
}

TEST_F(InstallerQueriesTest, EachFailureHasItsTextAndClosesWhatWasOpened) {
  add_package({{u"UpgradeCode", kLite}, {u"ProductVersion", u"1.1.0"}});

  msi.open_failure = 1627;
  EXPECT_EQ(queries.read_package_properties(kPath).error(), "open package (1627)");
  msi.open_failure = 0;
  EXPECT_EQ(queries.read_package_properties(R"(C:\missing.msi)").error(), "open package (1627)");

  msi.view_failure = 1615;
  EXPECT_EQ(queries.read_package_properties(kPath).error(), "query UpgradeCode (1615)");
  msi.fail_property = u"ProductVersion";
  EXPECT_EQ(queries.read_package_properties(kPath).error(), "query ProductVersion (1615)");
  msi.view_failure = 0;

  msi.execute_failure = 6;
  EXPECT_EQ(queries.read_package_properties(kPath).error(), "query ProductVersion (6)");
  msi.fail_property.clear();
  EXPECT_EQ(queries.read_package_properties(kPath).error(), "query UpgradeCode (6)");
  msi.execute_failure = 0;

  msi.get_string_failure = 1627;
  EXPECT_EQ(queries.read_package_properties(kPath).error(), "read UpgradeCode (1627)");
  msi.get_string_failure = 0;
  EXPECT_EQ(msi.open_handles(), 0u);
}

TEST_F(InstallerQueriesTest, AMissingRowIsNamedEvenAfterTheOtherWasRead) {
  add_package({{u"UpgradeCode", kLite}});
  EXPECT_EQ(queries.read_package_properties(kPath).error(), "package has no ProductVersion");
  add_package({{u"ProductVersion", u"1.0.0"}});
  EXPECT_EQ(queries.read_package_properties(kPath).error(), "package has no UpgradeCode");
}

TEST_F(InstallerQueriesTest, UnpairedSurrogatesInValuesBecomeReplacementCharacters) {
  add_package({{u"UpgradeCode", std::u16string{u'{', char16_t(0xD800), u'}'}},
               {u"ProductVersion", u"1.0"}});
  Result<MsiPackageInfo> info = queries.read_package_properties(kPath);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->upgrade_code, "{\xEF\xBF\xBD}");
}

TEST_F(InstallerQueriesTest, EnumerationGivesCodesInOrderAndStopsAtTheFirstFailure) {
  const std::u16string a = u"{00000000-0000-0000-0000-00000000000A}";
  const std::u16string b = u"{00000000-0000-0000-0000-00000000000B}";
  add_product(kLite, a);
  add_product(kLite, b);

  std::vector<ProductCode> codes =
      queries.enumerate_related_products("{E4D28B06-93AF-5C47-B1E2-0F5A7D3C9841}");
  ASSERT_EQ(codes.size(), 2u);
  EXPECT_EQ(std::u16string(codes[0].data()), a);
  EXPECT_EQ(std::u16string(codes[1].data()), b);
  EXPECT_EQ(codes[1][38], u'\0');
  EXPECT_THAT(msi.enum_indexes, ElementsAre(0u, 1u, 2u));

  msi.enum_failure_at = 1;
  EXPECT_EQ(queries.enumerate_related_products("{E4D28B06-93AF-5C47-B1E2-0F5A7D3C9841}").size(),
            1u);
  msi.enum_failure_at = 0;
  EXPECT_THAT(queries.enumerate_related_products("not a guid"), IsEmpty());
  msi.enum_failure_at.reset();
  EXPECT_THAT(queries.enumerate_related_products("{7A1E3C55-4B90-5F21-9D3A-61C04E8B2F17}"),
              IsEmpty());
}

TEST_F(InstallerQueriesTest, ProductInfoIsAskedWithTheBufferTheEnumerationFilled) {
  const std::u16string a = u"{00000000-0000-0000-0000-00000000000A}";
  add_product(kLite, a).info = {{u"VersionString", u"1.0.0"},
                                {u"InstallLocation", std::u16string(300, u'p')}};
  std::vector<ProductCode> codes =
      queries.enumerate_related_products("{E4D28B06-93AF-5C47-B1E2-0F5A7D3C9841}");
  ASSERT_EQ(codes.size(), 1u);
  EXPECT_EQ(queries.read_product_info(codes[0], "VersionString"), "1.0.0");
  EXPECT_EQ(queries.read_product_info(codes[0], "InstallLocation"), std::string(300, 'p'));
  EXPECT_EQ(queries.read_product_info(codes[0], "Publisher"), std::nullopt);
  std::u16string expected = a;
  expected.push_back(u'\0');
  // Four calls: the long location needed the retry.
  EXPECT_THAT(msi.product_codes_asked, ElementsAre(expected, expected, expected, expected));
  ProductCode unknown{};
  EXPECT_EQ(queries.read_product_info(unknown, "VersionString"), std::nullopt);
}

TEST_F(InstallerQueriesTest, InstalledVersionIsTheHighestAsNumbersNotText) {
  const std::string lite(kLite.begin(), kLite.end());
  EXPECT_EQ(queries.installed_version(lite), std::nullopt);

  add_product(kLite, u"{00000000-0000-0000-0000-000000000001}").info = {
      {u"VersionString", u"2.0.1"}};
  add_product(kLite, u"{00000000-0000-0000-0000-000000000002}");  // no version: skipped
  add_product(kLite, u"{00000000-0000-0000-0000-000000000003}").info = {
      {u"VersionString", u"2.0.10"}};
  add_product(kLite, u"{00000000-0000-0000-0000-000000000004}").info = {
      {u"VersionString", u"2.0.9"}};
  EXPECT_EQ(queries.installed_version(lite), "2.0.10");

  std::swap(msi.families[kLite][0], msi.families[kLite][2]);
  EXPECT_EQ(queries.installed_version(lite), "2.0.10");

  // Equal versions keep the first text; an unreadable first version is
  // never replaced, as nothing compares greater than it.
  msi.families[kLite][0].info[u"VersionString"] = u"2.0.10.0";
  msi.families[kLite][2].info[u"VersionString"] = u"2.0.10";
  EXPECT_EQ(queries.installed_version(lite), "2.0.10.0");
  msi.families[kLite][0].info[u"VersionString"] = u"beta";
  EXPECT_EQ(queries.installed_version(lite), "beta");
}

TEST_F(InstallerQueriesTest, InstallLocationIsTheFirstThatIsNotBlankAndIsNotTrimmed) {
  const std::string lite(kLite.begin(), kLite.end());
  EXPECT_EQ(queries.install_location(lite), std::nullopt);

  add_product(kLite, u"{00000000-0000-0000-0000-000000000001}").info = {{u"InstallLocation", u""}};
  add_product(kLite, u"{00000000-0000-0000-0000-000000000002}").info = {
      {u"InstallLocation", u" \t\u3000"}};
  add_product(kLite, u"{00000000-0000-0000-0000-000000000003}");  // unavailable
  EXPECT_EQ(queries.install_location(lite), std::nullopt);

  add_product(kLite, u"{00000000-0000-0000-0000-000000000004}").info = {
      {u"InstallLocation", u" C:\\Program Files\\Lumar KQ Lite\\ "}};
  add_product(kLite, u"{00000000-0000-0000-0000-000000000005}").info = {
      {u"InstallLocation", u"D:\\second"}};
  EXPECT_EQ(queries.install_location(lite), R"( C:\Program Files\Lumar KQ Lite\ )");
}

}  // namespace
}  // namespace lumar
