// Conversion between the model's CP936 bytes and the widgets' Unicode texts.
#pragma once

#include <QString>
#include <string>

// Unicode to CP936. A character that code page 936 cannot represent becomes "?",
// as the system's ANSI conversion does.
std::string ToCp936(const QString& text);

// CP936 to Unicode. A byte sequence that is no CP936 character becomes U+FFFD.
QString FromCp936(const std::string& bytes);
