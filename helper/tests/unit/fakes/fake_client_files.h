// Files as the impersonated client sees them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "main/channel/client_files.h"

namespace lumar::test {

// Files as the impersonated client sees them. Each open handle reads the
// file's contents as they are at the moment of each read, so a test can let a
// file grow under an open handle.
class FakeClientFiles : public ClientFiles {
 public:
  struct File {
    std::string contents;
    std::optional<std::uint64_t> size;  // what the handle reports; contents.size() if unset
    bool on_disk = true;
    std::optional<std::string> read_error;
  };
  std::map<std::string, File, std::less<>> files;
  std::vector<std::string> opens;
  std::size_t bytes_read = 0;
  std::function<void()> on_read;  // runs before every read

  Result<std::unique_ptr<ClientFile>> open(std::string_view path) override {
    opens.emplace_back(path);
    const auto it = files.find(path);
    if (it == files.end()) return fail("The system cannot find the file specified. (os error 2)");
    return std::unique_ptr<ClientFile>(std::make_unique<Handle>(*this, it->second));
  }

 private:
  class Handle : public ClientFile {
   public:
    Handle(FakeClientFiles& owner, File& file) : owner_(owner), file_(file) {}
    bool on_disk() override { return file_.on_disk; }
    Result<std::uint64_t> size() override { return file_.size.value_or(file_.contents.size()); }
    Result<std::size_t> read(std::span<std::uint8_t> buffer) override {
      if (owner_.on_read) owner_.on_read();
      if (file_.read_error) return fail(*file_.read_error);
      const std::size_t n =
          std::min(buffer.size(), file_.contents.size() - std::min(pos_, file_.contents.size()));
      std::copy_n(file_.contents.begin() + static_cast<std::ptrdiff_t>(pos_), n, buffer.begin());
      pos_ += n;
      owner_.bytes_read += n;
      return n;
    }

   private:
    FakeClientFiles& owner_;
    File& file_;
    std::size_t pos_ = 0;
  };
};

}  // namespace lumar::test
