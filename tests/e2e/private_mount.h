// File systems that a test can break on demand: a tmpfs of a given size or
// mounted read-only, inside a mount namespace of the test process's own, so
// that nothing is seen outside the test. The daemon started by the test
// inherits the namespace and sees the same mounts.
#ifndef KEELGATE_TESTS_E2E_PRIVATE_MOUNT_H
#define KEELGATE_TESTS_E2E_PRIVATE_MOUNT_H

#include <string>

namespace e2e {

// Moves the calling thread (the test's main thread, before it starts other
// threads or the daemon) into a new mount namespace whose mounts do not
// propagate back. Idempotent; false on failure.
bool enterPrivateMountNamespace();

// A tmpfs mounted on `dir` (created when missing) for the object's life.
// `options` are tmpfs options such as "size=64k"; `readOnly` mounts it so.
class TmpfsMount {
 public:
  TmpfsMount(const std::string& dir, const std::string& options, bool readOnly = false);
  ~TmpfsMount();  // detaches it, even while the daemon still holds files there
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;

  bool mounted() const { return mounted_; }
  // Remounts it read-write or read-only, keeping its options.
  bool remount(bool readOnly);

 private:
  std::string dir_;
  std::string options_;
  bool mounted_ = false;
};

// Writes zeros to `path` until the file system is full; the bytes written.
long fillUp(const std::string& path);

}  // namespace e2e

#endif
