// How UTF-16 text goes into a given code page without silent loss (portable: the Windows glue
// maps the answer to WideCharToMultiByte's flags). Most code pages take "no best fit" and report
// a character they cannot represent; UTF-8 (the console code page with Windows' "Beta: Use
// Unicode UTF-8" setting) and GB18030 refuse both and need the invalid-character flag instead;
// UTF-7 and a few ISO-2022 and ISCII pages take no flag at all.
#pragma once

namespace zt {

struct CodePageConversion {
  bool noBestFit;          // WC_NO_BEST_FIT_CHARS
  bool reportDefaultChar;  // pass lpUsedDefaultChar and refuse when it is set
  bool refuseInvalid;      // WC_ERR_INVALID_CHARS
};

constexpr CodePageConversion ConversionFor(unsigned codePage) {
  if (codePage == 65001 || codePage == 54936) return {false, false, true};
  if (codePage == 65000) return {false, false, false};
  if (codePage == 42 || (codePage >= 50220 && codePage <= 50229) || (codePage >= 57002 && codePage <= 57011))
    return {false, true, false};
  return {true, true, false};
}

}  // namespace zt
