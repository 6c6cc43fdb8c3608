#include "packer/resource_script.h"

#include <cstdio>

namespace tallix {

std::string resourceStringLiteral(const std::u16string &text) {
    std::string result = "L\"";
    for (char16_t unit : text) {
        if (unit == u'"') {
            result += "\"\"";
        } else if (unit == u'\\') {
            result += "\\\\";
        } else if (unit >= 0x20 && unit < 0x7F) {
            result += static_cast<char>(unit);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%04x", static_cast<unsigned>(unit));
            result += escape;
        }
    }
    return result + "\"";
}

bool isAssemblyName(const std::string &name) {
    if (name.empty() || name.front() == '.' || name.back() == '.') {
        return false;
    }
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::string manifestText(const std::string &assemblyName) {
    return R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <assemblyIdentity type="win32" name=")" +
           assemblyName + R"(" version="1.0.0.0"/>
  <compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1">
    <application>
      <!-- Windows Vista, 7, 8, 8.1, 10 and later -->
      <supportedOS Id="{e2011457-1546-43c5-a5fe-008deee3d3f0}"/>
      <supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>
      <supportedOS Id="{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"/>
      <supportedOS Id="{1f676c76-80e1-4239-95bb-83d0f6d0da78}"/>
      <supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>
    </application>
  </compatibility>
  <application xmlns="urn:schemas-microsoft-com:asm.v3">
    <windowsSettings>
      <longPathAware xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">true</longPathAware>
    </windowsSettings>
  </application>
  <dependency>
    <dependentAssembly>
      <assemblyIdentity type="win32" name="Microsoft.Windows.Common-Controls" version="6.0.0.0" processorArchitecture="*" publicKeyToken="6595b64144ccf1df" language="*"/>
    </dependentAssembly>
  </dependency>
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">
    <security>
      <requestedPrivileges>
        <requestedExecutionLevel level="asInvoker" uiAccess="false"/>
      </requestedPrivileges>
    </security>
  </trustInfo>
</assembly>
)";
}

std::string resourceScript(const ResourceInfo &info, const std::string &iconFile,
                           const std::string &manifestFile) {
    std::string script = "LANGUAGE 0, 0\n\n";
    script += "1 VERSIONINFO\n";
    script += "FILEVERSION " + info.fileVersion.commas() + "\n";
    script += "PRODUCTVERSION " + info.productVersion.commas() + "\n";
    script += "FILEFLAGSMASK 0x3F\nFILEFLAGS 0x0\n";
    script += "FILEOS 0x4\nFILETYPE 0x1\nFILESUBTYPE 0x0\n"; // VOS__WINDOWS32, VFT_APP
    script += "BEGIN\n  BLOCK \"StringFileInfo\"\n  BEGIN\n    BLOCK \"000004b0\"\n    BEGIN\n";
    auto value = [&script](const char *key, const std::u16string &text) {
        script += std::string("      VALUE \"") + key + "\", " + resourceStringLiteral(text) + "\n";
    };
    auto ascii = [](const std::string &text) { return std::u16string(text.begin(), text.end()); };
    value("CompanyName", info.company);
    value("ProductName", info.product);
    value("FileDescription", info.description);
    value("ProductVersion", ascii(info.productVersion.padded()));
    value("FileVersion", ascii(info.fileVersion.padded()));
    value("OriginalFilename", info.originalFilename);
    value("InternalName", info.internalName);
    if (info.copyright) {
        value("LegalCopyright", *info.copyright);
    }
    script += "    END\n  END\n  BLOCK \"VarFileInfo\"\n  BEGIN\n";
    script += "    VALUE \"Translation\", 0x0000, 0x04B0\n  END\nEND\n\n";
    script += "1 ICON \"" + iconFile + "\"\n";
    script += "1 24 \"" + manifestFile + "\"\n";
    return script;
}

} // namespace tallix
