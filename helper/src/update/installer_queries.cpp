#include "update/installer_queries.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "update/version.h"

namespace lumar {

namespace {

// An installer handle owned by the operation that obtained it. A handle that
// was never obtained stays 0 and is not closed.
class MsiHandle {
 public:
  explicit MsiHandle(MsiApi& api) : api_(api) {}
  MsiHandle(const MsiHandle&) = delete;
  MsiHandle& operator=(const MsiHandle&) = delete;
  ~MsiHandle() {
    if (value_ != 0) (void)api_.close_handle(value_);
  }
  MsiHandleValue get() const { return value_; }
  MsiHandleValue* put() { return &value_; }

 private:
  MsiApi& api_;
  MsiHandleValue value_ = 0;
};

constexpr std::uint32_t kFirstBufferUnits = 128;

struct StringAnswer {
  std::uint32_t code = 0;
  std::u16string units;
};

// The installer's string protocol: try 128 units; on "more data" it has told
// the length without the 0, so one more call with exactly that much room
// (plus the 0) must do. That second answer is final, whatever it is.
template <class Call>
StringAnswer read_installer_string(Call call) {
  std::u16string buffer(kFirstBufferUnits, u'\0');
  std::uint32_t size = kFirstBufferUnits;
  std::uint32_t code = call(buffer.data(), &size);
  if (code == kMsiMoreData && size < std::numeric_limits<std::uint32_t>::max()) {
    buffer.assign(static_cast<std::size_t>(size) + 1, u'\0');
    size = static_cast<std::uint32_t>(buffer.size());
    code = call(buffer.data(), &size);
  }
  if (code != kMsiSuccess) return {code, {}};
  // The length comes from outside; never read past what was allocated.
  const std::size_t length = std::min<std::size_t>(size, buffer.size());
  buffer.resize(length);
  return {kMsiSuccess, std::move(buffer)};
}

std::string code_text(std::uint32_t code) { return std::to_string(code); }

}  // namespace

Result<MsiPackageInfo> MsiQueries::read_package_properties(const OsString& path) {
  const std::u16string wide_path = to_wide(path);
  MsiHandle database(api_);
  const std::uint32_t code = api_.open_database_read_only(wide_path.c_str(), database.put());
  if (code != kMsiSuccess) return fail("open package (" + code_text(code) + ")");

  Result<std::string> upgrade_code = read_package_property(database.get(), "UpgradeCode");
  if (!upgrade_code) return fail(std::move(upgrade_code).error());
  Result<std::string> product_version = read_package_property(database.get(), "ProductVersion");
  if (!product_version) return fail(std::move(product_version).error());
  return MsiPackageInfo{std::move(*upgrade_code), std::move(*product_version)};
}

Result<std::string> MsiQueries::read_package_property(MsiHandleValue database,
                                                      std::string_view name) {
  std::string query = "SELECT `Value` FROM `Property` WHERE `Property`='";
  query += name;
  query += "'";
  const std::u16string wide_query = to_wide(query);

  MsiHandle view(api_);
  std::uint32_t code = api_.database_open_view(database, wide_query.c_str(), view.put());
  if (code != kMsiSuccess) {
    return fail("query " + std::string(name) + " (" + code_text(code) + ")");
  }
  code = api_.view_execute(view.get());
  if (code != kMsiSuccess) {
    return fail("query " + std::string(name) + " (" + code_text(code) + ")");
  }
  MsiHandle record(api_);
  if (api_.view_fetch(view.get(), record.put()) != kMsiSuccess) {
    return fail("package has no " + std::string(name));
  }
  StringAnswer answer = read_installer_string([&](char16_t* buffer, std::uint32_t* size) {
    return api_.record_get_string(record.get(), 1, buffer, size);
  });
  if (answer.code != kMsiSuccess) {
    return fail("read " + std::string(name) + " (" + code_text(answer.code) + ")");
  }
  return from_wide_lossy(answer.units);
}

std::vector<ProductCode> MsiQueries::enumerate_related_products(std::string_view upgrade_code) {
  const std::u16string wide_code = to_wide(upgrade_code);
  std::vector<ProductCode> products;
  ProductCode buffer{};
  for (std::uint32_t index = 0;; ++index) {
    if (api_.enum_related_products(wide_code.c_str(), index, buffer.data()) != kMsiSuccess) break;
    products.push_back(buffer);
    buffer.fill(u'\0');
  }
  return products;
}

std::optional<std::string> MsiQueries::read_product_info(const ProductCode& product,
                                                         std::string_view attribute) {
  const std::u16string wide_attribute = to_wide(attribute);
  StringAnswer answer = read_installer_string([&](char16_t* buffer, std::uint32_t* size) {
    return api_.get_product_info(product.data(), wide_attribute.c_str(), buffer, size);
  });
  if (answer.code != kMsiSuccess) return std::nullopt;
  return from_wide_lossy(answer.units);
}

std::optional<std::string> MsiQueries::installed_version(std::string_view upgrade_code) {
  std::optional<std::string> best;
  for (const ProductCode& product : enumerate_related_products(upgrade_code)) {
    std::optional<std::string> version = read_product_info(product, "VersionString");
    if (!version) continue;
    // Only a version that compares greater replaces the best so far; so an
    // unreadable first version is never replaced.
    if (!best || compare_versions(*version, *best) == VersionOrder::kGreater) {
      best = std::move(version);
    }
  }
  return best;
}

std::optional<std::string> MsiQueries::install_location(std::string_view upgrade_code) {
  for (const ProductCode& product : enumerate_related_products(upgrade_code)) {
    std::optional<std::string> location = read_product_info(product, "InstallLocation");
    if (location && !trim_unicode_white_space(*location).empty()) return location;
  }
  return std::nullopt;
}

}  // namespace lumar
