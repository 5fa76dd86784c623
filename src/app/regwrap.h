#pragma once
// Primitives over the class registry (QRegistry): values, extension associations, file types
// and their shell verbs. Each routine opens its own registry view and swallows the store's
// failures: a value that cannot be written stays as it was, one that cannot be read reads as
// empty or as the default.

#include <cstdint>
#include <string>

#include "platform/DesktopAssoc.h"

namespace kelvora {

// The value of the registry's open key when it exists, else `def` (also on any failure).
std::string RegReadStr(QRegistry& reg, const std::string& name, const std::string& def);
void RegWriteStr(QRegistry& reg, const std::string& name, const std::string& text);

// Points the extension (a dot is put in front when missing; empty does nothing) at the file
// type; an empty type writes an empty default value.
void RegAssociateFileExt(const std::string& ext, const std::string& fileType);
// The extension key's default value when the key exists, else empty.
std::string RegFileTypeGet(const std::string& ext);
// Creates the file type (trailing "\" and blanks removed; nothing when that leaves it empty)
// with its description and its "DefaultIcon".
void RegFileTypeCreate(const std::string& fileType, const std::string& description,
                       const std::string& icon);
// True when both are given, both keys exist and the extension's default value is exactly the
// file type.
bool RegIsExtAssociated(const std::string& ext, const std::string& fileType);
// Creates fileType\shell\verb with the caption and its "Command" subkey with the command;
// `makeDefault` makes the caption the default value of fileType\shell.
void RegFileCmdCreate(const std::string& fileType, const std::string& verb,
                      const std::string& caption, const std::string& command, bool makeDefault);
// A value of a key that is opened without being created; empty when missing.
std::string RegGetString(uint32_t root, const std::string& key, const std::string& name);
// Writes a value, creating the key.
void RegPutString(uint32_t root, const std::string& key, const std::string& name,
                  const std::string& text);

}  // namespace kelvora
