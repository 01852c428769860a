// One received block with the line-error flags seen before it was read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace veltra::engine {

class TSerialCluster {
 public:
  // Takes ownership of data (exactly size bytes; null when size is 0).
  TSerialCluster(std::unique_ptr<std::uint8_t[]> data, std::int32_t size, std::uint32_t errorFlags)
      : data_(std::move(data)), size_(size), errorFlags_(errorFlags) {}

  std::int32_t Size() const { return size_; }
  std::uint32_t ErrorFlags() const { return errorFlags_; }
  const std::uint8_t* Data() const { return data_.get(); }
  // The bytes, unchanged (0 and bytes above 127 included).
  std::string CopyToString() const {
    return size_ > 0 ? std::string(reinterpret_cast<const char*>(data_.get()),
                                   static_cast<std::size_t>(size_))
                     : std::string();
  }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::int32_t size_;
  std::uint32_t errorFlags_;
};

}  // namespace veltra::engine
