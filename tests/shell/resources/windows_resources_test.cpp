// The Windows resource script as windres compiles it: the .res file is read back entry by
// entry and the version block parsed as Windows parses it, so a wrong language, code page,
// flag or string (including UTF-8 text the compiler misread) shows up here without a
// Windows machine.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "shell/core/dialog_layout.h"
#include "shell/win32/resources/resource.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint16_t Word(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}

std::uint32_t Dword(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(Word(b, at)) |
         (static_cast<std::uint32_t>(Word(b, at + 2)) << 16);
}

std::size_t Align4(std::size_t at) { return (at + 3) & ~std::size_t{3}; }

// UTF-16LE code units to UTF-8, so that expectations can be written as plain literals.
std::string ToUtf8(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00u);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// A zero-terminated UTF-16LE string at `at`; `at` moves past the terminator.
std::u16string ReadSz(const Bytes& b, std::size_t& at) {
  std::u16string text;
  for (std::uint16_t unit = Word(b, at); unit != 0; unit = Word(b, at)) {
    text += static_cast<char16_t>(unit);
    at += 2;
  }
  at += 2;
  return text;
}

struct Resource {
  std::uint16_t type;  // numeric types only: that is all the script uses
  std::uint16_t id;
  std::uint16_t language;
  Bytes data;
};

// The entries of a .res file: each a header (sizes, type, name, language) and its data,
// DWORD-aligned. The file starts with an empty entry that marks the format.
std::vector<Resource> ReadRes(const Bytes& file) {
  std::vector<Resource> resources;
  std::size_t at = 0;
  while (at + 8 <= file.size()) {
    const std::uint32_t dataSize = Dword(file, at);
    const std::uint32_t headerSize = Dword(file, at + 4);
    std::size_t field = at + 8;
    // Type and name: 0xFFFF followed by a number, or a string (not used here).
    const bool numericType = Word(file, field) == 0xFFFF;
    const std::uint16_t type = numericType ? Word(file, field + 2) : 0;
    field = numericType ? field + 4 : (ReadSz(file, field), field);
    const bool numericName = Word(file, field) == 0xFFFF;
    const std::uint16_t id = numericName ? Word(file, field + 2) : 0;
    field = numericName ? field + 4 : (ReadSz(file, field), field);
    field = Align4(field);
    const std::uint16_t language = Word(file, field + 6);  // after DataVersion, MemoryFlags
    const std::size_t data = at + headerSize;
    if (data + dataSize > file.size()) break;
    if (dataSize > 0 || type != 0) {
      resources.push_back({type, id, language,
                           Bytes(file.begin() + static_cast<std::ptrdiff_t>(data),
                                 file.begin() + static_cast<std::ptrdiff_t>(data + dataSize))});
    }
    at = Align4(data + dataSize);
  }
  return resources;
}

// One node of a version resource: a key, a value (text or binary) and child nodes, each
// starting on a 32-bit boundary.
struct VersionNode {
  std::string key;
  bool text = false;
  Bytes value;
  std::u16string textValue;
  std::vector<VersionNode> children;

  const VersionNode* Child(const std::string& name) const {
    for (const VersionNode& child : children) {
      if (child.key == name) return &child;
    }
    return nullptr;
  }
};

VersionNode ReadVersionNode(const Bytes& b, std::size_t at) {
  VersionNode node;
  const std::size_t end = at + Word(b, at);
  const std::uint16_t valueLength = Word(b, at + 2);
  node.text = Word(b, at + 4) == 1;
  std::size_t field = at + 6;
  node.key = ToUtf8(ReadSz(b, field));
  field = Align4(field);
  if (node.text) {
    // The length counts UTF-16 units, the terminator included.
    std::size_t text = field;
    node.textValue = valueLength > 0 ? ReadSz(b, text) : std::u16string();
    field += 2u * valueLength;
  } else {
    node.value.assign(b.begin() + static_cast<std::ptrdiff_t>(field),
                      b.begin() + static_cast<std::ptrdiff_t>(field + valueLength));
    field += valueLength;
  }
  for (field = Align4(field); field < end; field = Align4(field)) {
    node.children.push_back(ReadVersionNode(b, field));
    field += Word(b, field);
  }
  return node;
}

constexpr std::uint16_t kRtIcon = 3;
constexpr std::uint16_t kRtDialog = 5;
constexpr std::uint16_t kRtString = 6;
constexpr std::uint16_t kRtGroupIcon = 14;
constexpr std::uint16_t kRtVersion = 16;
constexpr std::uint16_t kRtManifest = 24;
constexpr std::uint16_t kChineseSimplified = 0x0804;

class WindowsResources : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ifstream in(QUILLMARK_TEST_RES_FILE, std::ios::binary);
    ASSERT_TRUE(in) << "cannot open " << QUILLMARK_TEST_RES_FILE;
    const Bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    resources_ = ReadRes(file);
  }

  const Resource* Find(std::uint16_t type, std::uint16_t id) const {
    for (const Resource& resource : resources_) {
      if (resource.type == type && resource.id == id) return &resource;
    }
    return nullptr;
  }

  std::vector<Resource> resources_;
};

TEST_F(WindowsResources, VersionBlockIsChineseSimplifiedWithFixedInfo) {
  const Resource* version = Find(kRtVersion, 1);
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version->language, kChineseSimplified);

  const VersionNode root = ReadVersionNode(version->data, 0);
  EXPECT_EQ(root.key, "VS_VERSION_INFO");
  // VS_FIXEDFILEINFO: thirteen DWORDs. Every later check reads from it, so stop if short.
  ASSERT_EQ(root.value.size(), 52u);
  const Bytes& fixed = root.value;
  EXPECT_EQ(Dword(fixed, 0), 0xFEEF04BDu) << "signature";
  EXPECT_EQ(Dword(fixed, 8), 0x00010000u) << "file version 1.0";
  EXPECT_EQ(Dword(fixed, 12), 0x00000001u) << "file version .0.1";
  EXPECT_EQ(Dword(fixed, 16), 0x00010000u) << "product version 1.0";
  EXPECT_EQ(Dword(fixed, 20), 0x00000001u) << "product version .0.1";
  EXPECT_EQ(Dword(fixed, 24), 0x3Fu) << "flags mask";
  EXPECT_EQ(Dword(fixed, 28), 0x1u) << "flags: VS_FF_DEBUG";
  EXPECT_EQ(Dword(fixed, 32), 0x40004u) << "OS: VOS_NT_WINDOWS32";
  EXPECT_EQ(Dword(fixed, 36), 0x1u) << "type: VFT_APP";
  EXPECT_EQ(Dword(fixed, 40), 0x0u) << "subtype";
}

TEST_F(WindowsResources, VersionStringsReadBackAsWritten) {
  const Resource* version = Find(kRtVersion, 1);
  ASSERT_NE(version, nullptr);
  const VersionNode root = ReadVersionNode(version->data, 0);
  const VersionNode* strings = root.Child("StringFileInfo");
  ASSERT_NE(strings, nullptr);
  ASSERT_EQ(strings->children.size(), 1u);
  const VersionNode& table = strings->children.front();
  EXPECT_EQ(table.key, "080403a8");

  std::map<std::string, std::string> values;
  for (const VersionNode& value : table.children) {
    EXPECT_TRUE(value.text) << value.key;
    values[value.key] = ToUtf8(value.textValue);
  }
  const std::map<std::string, std::string> expected = {
      {"CompanyName", "TODO: <公司名>"},
      {"FileDescription", "TODO: <文件说明>"},
      {"FileVersion", "1.0.0.1"},
      {"InternalName", "Quillmark.exe"},
      {"OriginalFilename", "Quillmark.exe"},
      {"ProductName", "TODO: <产品名>"},
      {"ProductVersion", "1.0.0.1"},
  };
  for (const auto& [key, text] : expected) {
    EXPECT_EQ(values[key], text) << key;
  }
  EXPECT_NE(values["LegalCopyright"].find("Quillmark"), std::string::npos);
  EXPECT_EQ(values.size(), expected.size() + 1) << "unexpected extra strings";
}

TEST_F(WindowsResources, TranslationNamesLanguageAndCodePage) {
  const Resource* version = Find(kRtVersion, 1);
  ASSERT_NE(version, nullptr);
  const VersionNode root = ReadVersionNode(version->data, 0);
  const VersionNode* var = root.Child("VarFileInfo");
  ASSERT_NE(var, nullptr);
  const VersionNode* translation = var->Child("Translation");
  ASSERT_NE(translation, nullptr);
  ASSERT_EQ(translation->value.size(), 4u);
  EXPECT_EQ(Word(translation->value, 0), 0x0804);
  EXPECT_EQ(Word(translation->value, 2), 0x03A8);  // 936
}

TEST_F(WindowsResources, IconHoldsThreeSizesInEachColourDepth) {
  const Resource* group = Find(kRtGroupIcon, 128);
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->language, kChineseSimplified);
  // GRPICONDIR: reserved, type 1 (icon), count; then 14-byte entries: width and height (0
  // would mean 256), colour count, reserved, planes, bits per pixel, size, resource id.
  ASSERT_GE(group->data.size(), 6u);
  EXPECT_EQ(Word(group->data, 2), 1);
  const std::uint16_t count = Word(group->data, 4);
  ASSERT_EQ(group->data.size(), 6u + 14u * count);
  std::vector<std::pair<int, int>> images;  // (size, bits per pixel)
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t entry = 6 + 14 * i;
    EXPECT_EQ(group->data[entry], group->data[entry + 1]) << "square image " << i;
    images.emplace_back(group->data[entry], Word(group->data, entry + 6));
    // Each entry names an RT_ICON resource holding that image.
    EXPECT_NE(Find(kRtIcon, Word(group->data, entry + 12)), nullptr) << "image " << i;
  }
  // 16, 256 and true colours, as the application's icon has always had them, and the
  // 32-bit images with alpha that current Windows prefers.
  const std::vector<std::pair<int, int>> expected = {{48, 32}, {48, 24}, {48, 8}, {48, 4},
                                                     {32, 32}, {32, 24}, {32, 8}, {32, 4},
                                                     {16, 32}, {16, 24}, {16, 8}, {16, 4}};
  EXPECT_EQ(images, expected);
}

// A DLGTEMPLATEEX read back: its header, font and controls.
struct DialogItem {
  std::uint32_t style = 0;
  int id = 0;
  std::string windowClass;  // "#128" button, "#130" static, or a class name ("STATIC")
  std::string caption;      // or "#N" for an ordinal (the icon's resource id)
  int x = 0, y = 0, cx = 0, cy = 0;
};
struct Dialog {
  std::uint32_t style = 0, exStyle = 0;
  int cx = 0, cy = 0;
  std::string title, font;
  int points = 0;
  std::vector<DialogItem> items;
};

// A name or ordinal field: 0 for none, 0xFFFF and a number, or a string.
std::string ReadSzOrOrd(const Bytes& b, std::size_t& at) {
  if (Word(b, at) == 0xFFFF) {
    const std::string ordinal = "#" + std::to_string(Word(b, at + 2));
    at += 4;
    return ordinal;
  }
  return ToUtf8(ReadSz(b, at));
}

Dialog ReadDialog(const Bytes& b) {
  Dialog d;
  d.exStyle = Dword(b, 8);
  d.style = Dword(b, 12);
  const std::uint16_t count = Word(b, 16);
  d.cx = static_cast<std::int16_t>(Word(b, 22));
  d.cy = static_cast<std::int16_t>(Word(b, 24));
  std::size_t at = 26;
  ReadSzOrOrd(b, at);  // menu
  ReadSzOrOrd(b, at);  // class
  d.title = ToUtf8(ReadSz(b, at));
  d.points = Word(b, at);
  at += 6;  // points, weight, italic, charset
  d.font = ToUtf8(ReadSz(b, at));
  for (std::uint16_t i = 0; i < count; ++i) {
    at = Align4(at);
    DialogItem item;
    item.style = Dword(b, at + 8);
    item.x = static_cast<std::int16_t>(Word(b, at + 12));
    item.y = static_cast<std::int16_t>(Word(b, at + 14));
    item.cx = static_cast<std::int16_t>(Word(b, at + 16));
    item.cy = static_cast<std::int16_t>(Word(b, at + 18));
    item.id = static_cast<std::int32_t>(Dword(b, at + 20));
    at += 24;
    item.windowClass = ReadSzOrOrd(b, at);
    item.caption = ReadSzOrOrd(b, at);
    at += 2u + Word(b, at);  // creation data
    d.items.push_back(item);
  }
  return d;
}

constexpr std::uint32_t kWsVisible = 0x10000000, kWsTabStop = 0x00010000, kWsGroup = 0x00020000;
constexpr std::uint32_t kBsDefPushButton = 0x1, kSsIcon = 0x3, kSsNoPrefix = 0x80;

// The compiled templates against the tables the Qt program lays its dialogs out from, so
// the two programs' dialogs cannot drift apart.
TEST_F(WindowsResources, DialogsAreTheSharedTemplates) {
  using namespace quillmark::shell::layout;
  struct Expected {
    const char* what;
    int resource;
    const char* title;
    Size size;
    std::uint32_t style, exStyle;
    std::vector<std::pair<Control, std::uint32_t>> controls;  // with style bits to find
  };
  const Expected dialogs[] = {
      {"main dialog",
       IDD_QUILLMARK_DIALOG,
       quillmark::shell::texts::kMainTitle,
       kMainSize,
       0x80000000 | kWsVisible | 0x00C00000 | 0x00080000 | 0x80 | 0x40,
       0x00040000,
       {{kMainOk, kBsDefPushButton | kWsTabStop | kWsVisible},
        {kMainCancel, kWsTabStop | kWsVisible},
        {kMainPay, kWsTabStop | kWsVisible}}},
      {"About box",
       IDD_ABOUTBOX,
       quillmark::shell::texts::kAboutTitle,
       kAboutSize,
       0x80000000 | 0x00C00000 | 0x00080000 | 0x80 | 0x40 | 0x08,
       0,
       {{kAboutIcon, kSsIcon | kWsVisible},
        {kAboutVersion, kSsNoPrefix | kWsGroup | kWsVisible},
        {kAboutCopyright, kWsGroup | kWsVisible},
        {kAboutOk, kBsDefPushButton | kWsGroup | kWsTabStop | kWsVisible}}},
  };
  for (const Expected& expected : dialogs) {
    SCOPED_TRACE(expected.what);
    const Resource* resource = Find(kRtDialog, static_cast<std::uint16_t>(expected.resource));
    ASSERT_NE(resource, nullptr);
    EXPECT_EQ(resource->language, kChineseSimplified);
    ASSERT_EQ(Word(resource->data, 2), 0xFFFF) << "an extended template";
    const Dialog d = ReadDialog(resource->data);
    EXPECT_EQ(d.title, expected.title);
    EXPECT_EQ(d.cx, expected.size.cx);
    EXPECT_EQ(d.cy, expected.size.cy);
    EXPECT_EQ(d.style & ~0x0000FFFFu, expected.style & ~0x0000FFFFu);
    EXPECT_EQ(d.style & 0xFFu, expected.style & 0xFFu) << "DS_ flags";
    EXPECT_EQ(d.exStyle, expected.exStyle);
    EXPECT_EQ(d.font, "宋体");
    EXPECT_EQ(d.points, 9);
    ASSERT_EQ(d.items.size(), expected.controls.size());
    for (std::size_t i = 0; i < d.items.size(); ++i) {
      const DialogItem& item = d.items[i];
      const Control& control = expected.controls[i].first;
      SCOPED_TRACE(control.caption);
      EXPECT_EQ(item.id == 0xFFFF ? kIdStatic : item.id, control.id);
      EXPECT_EQ(item.caption, control.caption[0] == '\0' ? "#128" : control.caption);
      EXPECT_EQ(std::vector<int>({item.x, item.y, item.cx, item.cy}),
                std::vector<int>({control.x, control.y, control.cx, control.cy}));
      EXPECT_EQ(item.style & expected.controls[i].second, expected.controls[i].second);
      const bool button = control.id > 0;
      EXPECT_TRUE(item.windowClass == (button ? "#128" : "#130") ||
                  (!button && item.windowClass == "STATIC"))
          << item.windowClass;
    }
  }
}

// The settings dialog's template is its frame alone: the rows, and the size they need, come
// from shell/core/settings_form.h when it opens, as the Qt dialog's do.
TEST_F(WindowsResources, SettingsTemplateIsAFrameForTheSharedDescription) {
  const Resource* resource = Find(kRtDialog, IDD_SETTINGS);
  ASSERT_NE(resource, nullptr);
  EXPECT_EQ(resource->language, kChineseSimplified);
  ASSERT_EQ(Word(resource->data, 2), 0xFFFF) << "an extended template";
  const Dialog d = ReadDialog(resource->data);
  EXPECT_EQ(d.title, quillmark::shell::texts::kSettingsTitle);
  EXPECT_EQ(d.font, "宋体");
  EXPECT_EQ(d.points, 9);
  const std::uint32_t style = 0x80000000 | 0x00C00000 | 0x00080000 | 0x80 | 0x40;
  EXPECT_EQ(d.style & ~0x0000FFFFu, style & ~0x0000FFFFu);
  EXPECT_EQ(d.style & 0xFFu, style & 0xFFu) << "DS_ flags";
  EXPECT_TRUE(d.items.empty()) << d.items.size() << " controls";
}

TEST_F(WindowsResources, StringTableHoldsTheAboutEntry) {
  // Strings come in blocks of 16: string 101 is the sixth of block 7, each a length
  // followed by that many UTF-16 units.
  const Resource* block = Find(kRtString, IDS_ABOUTBOX / 16 + 1);
  ASSERT_NE(block, nullptr);
  std::size_t at = 0;
  for (int i = 0; i < IDS_ABOUTBOX % 16; ++i) at += 2 + 2u * Word(block->data, at);
  std::u16string text;
  for (std::uint16_t n = Word(block->data, at), k = 0; k < n; ++k)
    text += static_cast<char16_t>(Word(block->data, at + 2 + 2u * k));
  EXPECT_EQ(ToUtf8(text), quillmark::shell::texts::kAboutBoxEntry);
}

TEST_F(WindowsResources, ManifestAsksForCommonControls6AndPerMonitorDpi) {
  // Without it Windows gives the program the old common controls and, above 100 %,
  // stretches its windows as a bitmap, the on-screen QR code with them.
  const Resource* manifest = Find(kRtManifest, 1);
  ASSERT_NE(manifest, nullptr);
  const std::string text(manifest->data.begin(), manifest->data.end());
  for (const char* part :
       {"name=\"Microsoft.Windows.Common-Controls\"", "version=\"6.0.0.0\"",
        "publicKeyToken=\"6595b64144ccf1df\"", ">PerMonitorV2, PerMonitor</dpiAwareness>",
        ">true/pm</dpiAware>", "level=\"asInvoker\""}) {
    EXPECT_NE(text.find(part), std::string::npos) << part;
  }
}

}  // namespace
