// UTF-8 texts (app/core/texts.h, the mode table) as the UTF-16 strings the W functions take. The
// buffer lives inside the object, so showing a message never allocates: the out-of-memory
// message must still reach the user when the heap is exhausted.
#pragma once

#include <windows.h>

#include <cstddef>

class CWideText {
public:
  explicit CWideText(const char *utf8) {
    m_text[0] = L'\0';
    if (utf8 != nullptr &&
        MultiByteToWideChar(CP_UTF8, 0, utf8, -1, m_text, static_cast<int>(Capacity)) == 0)
      m_text[0] = L'\0'; // invalid or too long: none of our texts is
  }
  const wchar_t *Get() const { return m_text; }
  operator const wchar_t *() const { return m_text; }

private:
  static constexpr std::size_t Capacity = 512;
  wchar_t m_text[Capacity];
};

// The full path of the running executable.
const wchar_t *ExecutablePath();
// The executable's file name without folder and extension: the caption of message boxes.
const wchar_t *ExecutableTitle();
