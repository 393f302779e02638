#include "libmsi_installer.h"

#include <libmsi.h>

#include <string>
#include <string_view>
#include <vector>

#include "main/base/text.h"
#include "main/base/unique_any.h"

namespace lumar {
namespace {

void free_error(GError* error) { g_error_free(error); }
void free_text(gchar* text) { g_free(text); }

using UniqueError = UniqueValue<GError*, free_error>;
using UniqueText = UniqueValue<gchar*, free_text>;

// msi.dll's return codes for the same conditions, so that the helper's texts
// ("open package (110)", …) read the same on both systems.
constexpr std::uint32_t kErrorFunctionFailed = 1627;

std::uint32_t windows_code(const GError* error) {
  if (error == nullptr || error->domain != LIBMSI_RESULT_ERROR) return kErrorFunctionFailed;
  switch (static_cast<LibmsiResultError>(error->code)) {
    case LIBMSI_RESULT_ACCESS_DENIED:
      return 5;
    case LIBMSI_RESULT_INVALID_HANDLE:
      return 6;
    case LIBMSI_RESULT_NOT_ENOUGH_MEMORY:
      return 8;
    case LIBMSI_RESULT_INVALID_DATA:
      return 13;
    case LIBMSI_RESULT_OUTOFMEMORY:
      return 14;
    case LIBMSI_RESULT_INVALID_PARAMETER:
      return 87;
    case LIBMSI_RESULT_OPEN_FAILED:
      return 110;
    case LIBMSI_RESULT_CALL_NOT_IMPLEMENTED:
      return 120;
    case LIBMSI_RESULT_MORE_DATA:
      return 234;
    case LIBMSI_RESULT_NOT_FOUND:
      return 1168;
    case LIBMSI_RESULT_UNKNOWN_PROPERTY:
      return 1608;
    case LIBMSI_RESULT_BAD_QUERY_SYNTAX:
      return 1615;
    case LIBMSI_RESULT_INVALID_FIELD:
      return 1616;
    case LIBMSI_RESULT_INVALID_TABLE:
      return 1628;
    case LIBMSI_RESULT_DATATYPE_MISMATCH:
      return 1629;
    case LIBMSI_RESULT_INVALID_DATATYPE:
      return 1804;
    default:
      return kErrorFunctionFailed;
  }
}

// Each libmsi object is owned by the operation that made it, as installer
// handles are.
template <class Object>
void unref(Object* object) {
  g_object_unref(object);
}
template <class Object>
using UniqueObject = UniqueValue<Object*, unref<Object>>;

Result<std::string> read_property(LibmsiDatabase* database, std::string_view name) {
  UniqueError error;
  const UniqueObject<LibmsiQuery> query(
      libmsi_query_new(database, property_query(name).c_str(), error.put()));
  if (!query) return fail(property_query_error(name, windows_code(error.get())));
  if (!libmsi_query_execute(query.get(), nullptr, error.put())) {
    return fail(property_query_error(name, windows_code(error.get())));
  }
  // The end of the rows comes without an error; either way the row is not
  // there.
  const UniqueObject<LibmsiRecord> record(libmsi_query_fetch(query.get(), error.put()));
  if (!record) return fail(property_missing_error(name));
  // libmsi hands back the whole value: no buffer to outgrow.
  const UniqueText text(libmsi_record_get_string(record.get(), 1));
  return decode_utf8_lossy(text ? std::string_view(text.get()) : std::string_view());
}

class LibmsiInstaller final : public WindowsInstaller {
 public:
  Result<MsiPackageInfo> read_package_properties(const OsString& path) override {
    UniqueError error;
    const UniqueObject<LibmsiDatabase> database(
        libmsi_database_new(path.c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, error.put()));
    if (!database) return fail(package_open_error(windows_code(error.get())));
    return read_package_info(
        [&](std::string_view name) { return read_property(database.get(), name); });
  }

  std::vector<std::string> related_product_info(std::string_view, std::string_view) override {
    return {};
  }

  Result<std::uint32_t> install(const OsString&, const OsString&) override {
    return fail("Windows Installer does not run on this system");
  }
};

}  // namespace

std::unique_ptr<WindowsInstaller> make_libmsi_installer() {
  return std::make_unique<LibmsiInstaller>();
}

}  // namespace lumar
