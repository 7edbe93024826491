// Process-wide settings of the log-writer library and its table of attribute
// definitions (which attributes an entry type declares, with their type
// codes). Callers set them once before they open a device; any thread may call
// these, each call is serialised by one mutex.
//
// The definition file named by SetDefinitionPath is not read: callers of this
// library fix their column lists in code, so a missing file is no error. The
// locale, code page and attribute-length action are kept for the callers'
// benefit only; rows are written as the bytes the caller gave.
#ifndef KEELGATE_HOST_CSV_QX_LOG_CONFIG_H
#define KEELGATE_HOST_CSV_QX_LOG_CONFIG_H

#include <string>

class qx_LOG_LogConfig {
 public:
  static void SetDefinitionPath(std::string path);
  static void SetLocale(int locale);
  static void SetCodePage(std::string codePage);
  static void SetActionAttrLenExceed(int action);

  static std::string DefinitionPath();
  static int Locale();
  static std::string CodePage();
  static int ActionAttrLenExceed();

  // Declares attribute `name` of entry type `entryType` with a type code; a
  // second declaration of the same name replaces the type code.
  static void AddDefinition(unsigned entryType, const std::string& name, int typeCode);
  // Number of attributes declared for the entry type.
  static size_t DefinitionCount(unsigned entryType);
  // Forgets every attribute definition.
  static void ClearDefinitions();
};

#endif
