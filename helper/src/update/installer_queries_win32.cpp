#include "update/installer_queries.h"

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

namespace lumar {

namespace {

static_assert(sizeof(MSIHANDLE) == sizeof(MsiHandleValue));
static_assert(sizeof(wchar_t) == sizeof(char16_t));

const wchar_t* w(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
wchar_t* w(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

// Forwards each call unchanged; the portable queries own the handles and
// the buffer rule.
class Win32MsiApi final : public MsiApi {
 public:
  std::uint32_t open_database_read_only(const char16_t* path, MsiHandleValue* database) override {
    MSIHANDLE handle = 0;
    const UINT code = ::MsiOpenDatabaseW(w(path), MSIDBOPEN_READONLY, &handle);
    *database = handle;
    return code;
  }
  std::uint32_t database_open_view(MsiHandleValue database, const char16_t* query,
                                   MsiHandleValue* view) override {
    MSIHANDLE handle = 0;
    const UINT code = ::MsiDatabaseOpenViewW(database, w(query), &handle);
    *view = handle;
    return code;
  }
  std::uint32_t view_execute(MsiHandleValue view) override { return ::MsiViewExecute(view, 0); }
  std::uint32_t view_fetch(MsiHandleValue view, MsiHandleValue* record) override {
    MSIHANDLE handle = 0;
    const UINT code = ::MsiViewFetch(view, &handle);
    *record = handle;
    return code;
  }
  std::uint32_t record_get_string(MsiHandleValue record, std::uint32_t field, char16_t* buffer,
                                  std::uint32_t* size) override {
    DWORD units = *size;
    const UINT code = ::MsiRecordGetStringW(record, field, w(buffer), &units);
    *size = units;
    return code;
  }
  std::uint32_t close_handle(MsiHandleValue handle) override { return ::MsiCloseHandle(handle); }
  std::uint32_t get_product_info(const char16_t* product_code, const char16_t* attribute,
                                 char16_t* buffer, std::uint32_t* size) override {
    DWORD units = *size;
    const UINT code = ::MsiGetProductInfoW(w(product_code), w(attribute), w(buffer), &units);
    *size = units;
    return code;
  }
  std::uint32_t enum_related_products(const char16_t* upgrade_code, std::uint32_t index,
                                      char16_t* product_code) override {
    return ::MsiEnumRelatedProductsW(w(upgrade_code), 0, index, w(product_code));
  }
};

}  // namespace

std::unique_ptr<MsiApi> make_win32_msi_api() { return std::make_unique<Win32MsiApi>(); }

}  // namespace lumar
