// The traffic line of an observation: never longer than 1023 bytes, always
// starting with its key.
#include <string.h>

#include "fuzz/support.h"
#include "throttling/traffic_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 16) return 0;
  RawConnTrafficItem item;
  int32_t numbers[4];
  memcpy(numbers, data, sizeof numbers);
  item.timeStamp = numbers[0];
  item.scannerId = numbers[1];
  item.type = numbers[2];
  std::string rest(reinterpret_cast<const char*>(data + 16), size - 16);
  size_t cut = rest.find('\0');
  item.ip = rest.substr(0, cut);
  item.sender = cut == std::string::npos ? "" : rest.substr(cut + 1);
  std::string line = trafficLine(item, numbers[3]);
  const char* key = trafficLineKey(item.type);
  if (line.size() > 1023 || line.compare(0, strlen(key), key) != 0) abort();
  return 0;
}
