#include "packer/image/resources/launcher_resources.h"

#include "packer/image/icon/icon_builder.h"
#include "packer/support/byte_writing.h"

namespace tallix {

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

std::string manifestText(const std::string &assemblyName, const VersionNumber &version,
                         const std::string &executionLevel) {
    return R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <assemblyIdentity type="win32" name=")" +
           assemblyName + R"(" version=")" + version.padded() + R"("/>
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
        <requestedExecutionLevel level=")" +
           executionLevel + R"(" uiAccess="false"/>
      </requestedPrivileges>
    </security>
  </trustInfo>
</assembly>
)";
}

namespace {

constexpr std::uint32_t FIXED_INFO_SIGNATURE = 0xFEEF04BD;
constexpr std::uint32_t FIXED_INFO_VERSION = 0x00010000;
constexpr std::uint32_t FLAGS_MASK = 0x3F;
constexpr std::uint32_t OS_WINDOWS32 = 4; // VOS__WINDOWS32
constexpr std::uint32_t TYPE_APP = 1;     // VFT_APP
constexpr std::uint16_t NEUTRAL_LANGUAGE = 0;
constexpr std::uint16_t UNICODE_CODE_PAGE = 1200;
constexpr std::uint16_t RESOURCE_ID = 1;

void padTo4(pe::Bytes &out) {
    while (out.size() % 4 != 0) {
        out.push_back(0);
    }
}

// One block of the version resource: length, value length, type (1 text,
// 0 binary), key, value, children, each part starting on 4 bytes.
struct VersionBlock {
    std::u16string key;
    pe::Bytes value;
    std::uint16_t valueLength = 0; // in units for text, in bytes for binary
    bool text = true;
    std::vector<VersionBlock> children;

    pe::Bytes encode() const {
        pe::Bytes out(6, 0);
        appendWide(out, key);
        padTo4(out);
        out.insert(out.end(), value.begin(), value.end());
        for (const VersionBlock &child : children) {
            padTo4(out);
            pe::Bytes bytes = child.encode();
            out.insert(out.end(), bytes.begin(), bytes.end());
        }
        writeLe16(out.data(), out.size());
        writeLe16(out.data() + 2, valueLength);
        writeLe16(out.data() + 4, text ? 1 : 0);
        return out;
    }
};

VersionBlock stringEntry(const std::u16string &key, const std::u16string &value) {
    VersionBlock block{key, {}, static_cast<std::uint16_t>(value.size() + 1), true, {}};
    appendWide(block.value, value);
    return block;
}

std::uint32_t high(const VersionNumber &version) {
    return std::uint32_t(version.parts[0]) << 16 | version.parts[1];
}

std::uint32_t low(const VersionNumber &version) {
    return std::uint32_t(version.parts[2]) << 16 | version.parts[3];
}

std::u16string ascii(const std::string &text) {
    return std::u16string(text.begin(), text.end());
}

} // namespace

pe::Bytes versionResource(const ResourceInfo &info) {
    VersionBlock table{u"000004b0", {}, 0, true, {}};
    table.children = {stringEntry(u"CompanyName", info.company),
                      stringEntry(u"ProductName", info.product),
                      stringEntry(u"FileDescription", info.description),
                      stringEntry(u"ProductVersion", info.productVersionText.value_or(
                                                         ascii(info.productVersion.padded()))),
                      stringEntry(u"FileVersion", ascii(info.fileVersion.padded())),
                      stringEntry(u"OriginalFilename", info.originalFilename),
                      stringEntry(u"InternalName", info.internalName)};
    if (info.copyright) {
        table.children.push_back(stringEntry(u"LegalCopyright", *info.copyright));
    }
    if (!info.packedBy.empty()) {
        table.children.push_back(stringEntry(u"PackedBy", info.packedBy));
    }
    VersionBlock translation{u"Translation", {}, 4, false, {}};
    appendLittleEndian(translation.value, NEUTRAL_LANGUAGE, 2);
    appendLittleEndian(translation.value, UNICODE_CODE_PAGE, 2);

    VersionBlock root{u"VS_VERSION_INFO", {}, 0, false, {}};
    for (std::uint32_t field :
         {FIXED_INFO_SIGNATURE, FIXED_INFO_VERSION, high(info.fileVersion), low(info.fileVersion),
          high(info.productVersion), low(info.productVersion), FLAGS_MASK, 0u, OS_WINDOWS32,
          TYPE_APP, 0u, 0u, 0u}) {
        appendLittleEndian(root.value, field, 4);
    }
    root.valueLength = static_cast<std::uint16_t>(root.value.size());
    root.children = {VersionBlock{u"StringFileInfo", {}, 0, true, {table}},
                     VersionBlock{u"VarFileInfo", {}, 0, true, {translation}}};
    return root.encode();
}

std::vector<pe::Resource> launcherResources(const ResourceInfo &info,
                                            const std::vector<pe::Bytes> &iconImages) {
    std::vector<pe::Resource> resources;
    resources.push_back(
        {pe::RESOURCE_VERSION, RESOURCE_ID, NEUTRAL_LANGUAGE, versionResource(info)});
    resources.push_back(
        {pe::RESOURCE_GROUP_ICON, RESOURCE_ID, NEUTRAL_LANGUAGE, iconGroup(iconImages)});
    for (std::size_t i = 0; i < iconImages.size(); ++i) {
        resources.push_back({pe::RESOURCE_ICON, static_cast<std::uint16_t>(i + 1), NEUTRAL_LANGUAGE,
                             iconImages[i]});
    }
    std::string manifest = info.manifest.value_or(
        manifestText(info.manifestName, info.fileVersion, info.executionLevel));
    resources.push_back({pe::RESOURCE_MANIFEST, RESOURCE_ID, NEUTRAL_LANGUAGE,
                         pe::Bytes(manifest.begin(), manifest.end())});
    for (pe::Resource &resource : progressWindowResources(info.progressWindow)) {
        resources.push_back(std::move(resource));
    }
    return resources;
}

} // namespace tallix
