// The one place where text crosses between UTF-8 (everything the program composes) and the
// encodings Windows needs: UTF-16 for every W call, GBK for descriptor values.
#pragma once
#include <string>
#include <string_view>

namespace zt {

std::wstring Widen(std::string_view utf8);    // UTF-8 -> UTF-16 (invalid bytes become U+FFFD)
std::string Narrow(std::wstring_view utf16);  // UTF-16 -> UTF-8
std::string GbkToUtf8(std::string_view gbk);  // code page 936 bytes -> UTF-8, for showing descriptor values

}  // namespace zt
