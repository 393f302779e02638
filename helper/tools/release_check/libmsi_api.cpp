#include "libmsi_api.h"

#include <libmsi.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>

#include "main/base/text.h"
#include "main/base/unique_any.h"

namespace lumar {
namespace {

void unref_object(GObject* object) { g_object_unref(object); }
void free_error(GError* error) { g_error_free(error); }
void free_text(gchar* text) { g_free(text); }

using UniqueObject = UniqueValue<GObject*, unref_object>;
using UniqueError = UniqueValue<GError*, free_error>;
using UniqueText = UniqueValue<gchar*, free_text>;

// msi.dll's return codes for the same conditions, so that the helper's texts
// ("open package (110)", …) read the same on both systems.
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorFunctionFailed = 1627;
constexpr std::uint32_t kErrorUnknownProduct = 1605;

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
      return kMsiMoreData;
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

std::string utf8(const char16_t* text) {
  const char16_t* end = text;
  while (*end != u'\0') ++end;
  return from_wide_lossy(std::u16string_view(text, static_cast<std::size_t>(end - text)));
}

class LibmsiApi final : public MsiApi {
 public:
  std::uint32_t open_database_read_only(const char16_t* path, MsiHandleValue* database) override {
    UniqueError error;
    LibmsiDatabase* opened =
        libmsi_database_new(utf8(path).c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, error.put());
    if (opened == nullptr) return windows_code(error.get());
    *database = keep(G_OBJECT(opened));
    return kMsiSuccess;
  }

  std::uint32_t database_open_view(MsiHandleValue database, const char16_t* query,
                                   MsiHandleValue* view) override {
    GObject* object = find(database, LIBMSI_TYPE_DATABASE);
    if (object == nullptr) return kErrorInvalidHandle;
    UniqueError error;
    LibmsiQuery* opened =
        libmsi_query_new(LIBMSI_DATABASE(object), utf8(query).c_str(), error.put());
    if (opened == nullptr) return windows_code(error.get());
    *view = keep(G_OBJECT(opened));
    return kMsiSuccess;
  }

  std::uint32_t view_execute(MsiHandleValue view) override {
    GObject* object = find(view, LIBMSI_TYPE_QUERY);
    if (object == nullptr) return kErrorInvalidHandle;
    UniqueError error;
    if (!libmsi_query_execute(LIBMSI_QUERY(object), nullptr, error.put())) {
      return windows_code(error.get());
    }
    return kMsiSuccess;
  }

  std::uint32_t view_fetch(MsiHandleValue view, MsiHandleValue* record) override {
    GObject* object = find(view, LIBMSI_TYPE_QUERY);
    if (object == nullptr) return kErrorInvalidHandle;
    UniqueError error;
    LibmsiRecord* fetched = libmsi_query_fetch(LIBMSI_QUERY(object), error.put());
    if (fetched == nullptr) {
      // The end of the rows comes without an error.
      return error ? windows_code(error.get()) : kMsiNoMoreItems;
    }
    *record = keep(G_OBJECT(fetched));
    return kMsiSuccess;
  }

  std::uint32_t record_get_string(MsiHandleValue record, std::uint32_t field, char16_t* buffer,
                                  std::uint32_t* size) override {
    GObject* object = find(record, LIBMSI_TYPE_RECORD);
    if (object == nullptr) return kErrorInvalidHandle;
    UniqueText text(libmsi_record_get_string(LIBMSI_RECORD(object), field));
    std::u16string value = to_wide(text ? std::string_view(text.get()) : std::string_view());
    value.pop_back();  // to_wide's terminating 0
    const std::uint32_t capacity = *size;
    *size = static_cast<std::uint32_t>(value.size());
    // msi.dll's rule: room for the value and its 0, or "more data".
    if (value.size() >= capacity) {
      if (capacity > 0) buffer[0] = u'\0';
      return kMsiMoreData;
    }
    std::copy(value.begin(), value.end(), buffer);
    buffer[value.size()] = u'\0';
    return kMsiSuccess;
  }

  std::uint32_t close_handle(MsiHandleValue handle) override {
    return handles_.erase(handle) == 1 ? kMsiSuccess : kErrorInvalidHandle;
  }

  std::uint32_t get_product_info(const char16_t*, const char16_t*, char16_t*,
                                 std::uint32_t*) override {
    return kErrorUnknownProduct;
  }

  std::uint32_t enum_related_products(const char16_t*, std::uint32_t, char16_t*) override {
    return kMsiNoMoreItems;
  }

 private:
  MsiHandleValue keep(GObject* object) {
    const MsiHandleValue handle = next_++;
    handles_.emplace(handle, UniqueObject(object));
    return handle;
  }

  GObject* find(MsiHandleValue handle, GType type) const {
    const auto found = handles_.find(handle);
    if (found == handles_.end() || !G_TYPE_CHECK_INSTANCE_TYPE(found->second.get(), type)) {
      return nullptr;
    }
    return found->second.get();
  }

  std::map<MsiHandleValue, UniqueObject> handles_;
  MsiHandleValue next_ = 1;
};

}  // namespace

std::unique_ptr<MsiApi> make_libmsi_api() { return std::make_unique<LibmsiApi>(); }

}  // namespace lumar
