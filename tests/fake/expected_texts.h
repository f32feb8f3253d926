// Texts the programs must produce, written out by hand once for all tests
// (unit tests, fault matrix, fuzz targets) that compare against them.
#pragma once

#include <string>

namespace expected {

// Where the simulated machine keeps the installation record and the uninstall entry.
inline constexpr char kRecord[] = "HKLM\\Software\\HalvikTorvanex\\HalvikTorvanexJI";
inline constexpr char kUninstallEntry[] =
    "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\HalvikTorvanexJI";

// The Java launch command without arguments: console and windowed runtime.
inline const std::string kJava =
    "JRE\\bin\\java.exe -Xmx256m -cp .;.\\java\\Install.jar;.\\java\\xerces.jar;.\\java\\ant.jar;"
    ".\\java\\Halvik_Torvanex_Install_OLH.jar;.\\java\\jh.jar;.\\data com.halvik.install.controlpanel.Install";
inline const std::string kJavaw =
    "JRE\\bin\\javaw.exe -Xmx256m -cp .;.\\java\\Install.jar;.\\java\\xerces.jar;.\\java\\ant.jar;"
    ".\\java\\Halvik_Torvanex_Install_OLH.jar;.\\java\\jh.jar;.\\data com.halvik.install.controlpanel.Install";

}  // namespace expected
