// LeakSanitizer suppressions for the unit tests (used only in builds with
// KEELGATE_SANITIZE=address; an ordinary build never calls this function).
//
// The settings instances (one per ini path) and the log file sinks (one per
// log path) live for the whole process by design: other threads may still
// hold them. The daemon makes one of each; the tests point every case at a
// fresh installation directory and so make many, which the sanitizer would
// otherwise report as leaks when the static tables are torn down at exit.
extern "C" const char* __lsan_default_suppressions();

extern "C" const char* __lsan_default_suppressions() {
  return "leak:KELP::GlobalSettingOnMem::Instance\n"
         "leak:KELP::LogMsgQxCLM::Instance\n";
}
