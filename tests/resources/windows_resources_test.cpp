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
constexpr std::uint16_t kRtGroupIcon = 14;
constexpr std::uint16_t kRtVersion = 16;
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

}  // namespace
