#include "host/csv/qx_log_writer.h"

#include <algorithm>
#include <mutex>

namespace {

// The library mutex: guards the links between writers and devices and is held
// for the whole of a write, so ReleaseLog never deletes a device in use.
// Never destroyed, since writers may be destroyed late at exit.
std::mutex& libraryMutex() {
  static std::mutex* mu = new std::mutex;
  return *mu;
}

template <typename T>
void eraseValue(std::vector<T*>& v, T* value) {
  v.erase(std::remove(v.begin(), v.end(), value), v.end());
}

}  // namespace

qx_LOG_LogWriter::qx_LOG_LogWriter(const char*) {}

qx_LOG_LogWriter::~qx_LOG_LogWriter() {
  std::lock_guard<std::mutex> lock(libraryMutex());
  for (qx_LOG_LogDevice* device : devices_) eraseValue(device->writers_, this);
}

void qx_LOG_LogWriter::AddLogDevice(qx_LOG_LogDevice* device) {
  if (device == nullptr) return;
  std::lock_guard<std::mutex> lock(libraryMutex());
  if (std::find(devices_.begin(), devices_.end(), device) != devices_.end()) return;
  devices_.push_back(device);
  device->writers_.push_back(this);
}

void qx_LOG_LogWriter::WriteEntry(qx_LOG_LogEntry& entry) {
  std::lock_guard<std::mutex> lock(libraryMutex());
  for (qx_LOG_LogDevice* device : devices_) device->Write(entry);
}

// Lives here rather than beside the device because it edits the writers'
// lists under the library mutex.
void qx_LOG_LogDevice::ReleaseLog(qx_LOG_LogDevice* device) {
  if (device == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(libraryMutex());
    for (qx_LOG_LogWriter* writer : device->writers_) eraseValue(writer->devices_, device);
    device->writers_.clear();
  }
  delete device;
}
