#include "core/form_layout.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace ot {
namespace {

std::string ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(FormLayout, TheLaunchersLayoutHasEveryControlWithItsGeometryAndTexts) {
  LayoutError error;
  const auto form = ParseLayout(ReadFile(OT_LAYOUT_FILE), error);
  ASSERT_TRUE(form) << error.line << ": " << error.message;
  EXPECT_EQ(form->name, L"MainForm");
  EXPECT_EQ(form->className, L"TMainForm");
  EXPECT_EQ(form->Integer(L"ClientWidth", 0), 443);
  EXPECT_EQ(form->Integer(L"ClientHeight", 0), 94);
  EXPECT_EQ(form->Text(L"Font.Name"), L"Tahoma");
  EXPECT_EQ(form->Integer(L"Font.Height", 0), -11);
  EXPECT_TRUE(form->HasSetItem(L"BorderIcons", L"biSystemMenu"));
  EXPECT_FALSE(form->HasSetItem(L"BorderIcons", L"biMinimize"));

  const LayoutObject* pages = FindLayoutObject(*form, L"mainPages");
  ASSERT_NE(pages, nullptr);
  ASSERT_EQ(pages->children.size(), 3u);
  EXPECT_EQ(pages->children[0].Text(L"Caption"), L"System");
  EXPECT_EQ(pages->children[1].Text(L"Caption"), L".NET");
  EXPECT_EQ(pages->children[2].Text(L"Caption"), L"Extract...");

  const LayoutObject* label = FindLayoutObject(*form, L"lblExtract");
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->Integer(L"Height", 0), 76);
  EXPECT_EQ(label->Text(L"Caption"), L"Extracting the main setup files...");
  const LayoutObject* button = FindLayoutObject(*form, L"btnNET");
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->Text(L"Caption"), L"See the system requirements");
  EXPECT_FALSE(button->Boolean(L"Enabled", true));
  EXPECT_EQ(button->Text(L"OnClick"), L"btnNETClick");
  EXPECT_EQ(FindLayoutObject(*form, L"pageExtract")->children.size(), 1u);  // no button there
}

TEST(FormLayout, ValuesOfEveryKind) {
  LayoutError error;
  const auto form = ParseLayout(
      "\xEF\xBB\xBF# comment\r\nobject F: TForm\r\n  A = -42\r\n  B = 'it''s \xC3\xA9'\r\n"
      "  C = [x, y_2]\r\n  D = []\r\n  E.F = True\r\nend\r\n",
      error);
  ASSERT_TRUE(form) << error.message;
  EXPECT_EQ(form->Integer(L"A", 0), -42);
  EXPECT_EQ(form->Text(L"B"), L"it's \u00E9");
  EXPECT_TRUE(form->HasSetItem(L"C", L"y_2"));
  EXPECT_TRUE(form->Find(L"D")->items.empty());
  EXPECT_TRUE(form->Boolean(L"E.F", false));
}

TEST(FormLayout, FaultsAreReportedWithTheirLine) {
  const char* bad[] = {
      "",
      "object F: TForm\n",                              // no end
      "object F TForm\nend\n",                          // no colon
      "object F: TForm\n  A = 'open\nend\n",            // unterminated string
      "object F: TForm\n  A = 99999999999\nend\n",      // out of range
      "object F: TForm\n  A = [x,]\nend\n",             // empty set item
      "object F: TForm\n  = 3\nend\n",                  // no name
      "object F: TForm\nend\nend\n",                    // trailing text
      "object F: TForm\n  A = 'bad \xC3'\nend\n",       // broken UTF-8
      "object F: TForm\n  A = 'x' y\nend\n",            // text after string
      "object F: TForm\n  A..B = 1\nend\n",             // empty name part
  };
  for (const char* text : bad) {
    LayoutError error;
    EXPECT_FALSE(ParseLayout(text, error)) << text;
    EXPECT_FALSE(error.message.empty()) << text;
  }
  LayoutError error;
  EXPECT_FALSE(ParseLayout("object F: TForm\n  A = 1\n  B = ?\nend\n", error));
  EXPECT_EQ(error.line, 3);
}

TEST(FormLayout, NestingAndSizeAreBounded) {
  std::string deep;
  for (int i = 0; i < 20; ++i) deep += "object O" + std::to_string(i) + ": T\n";
  for (int i = 0; i < 20; ++i) deep += "end\n";
  LayoutError error;
  EXPECT_FALSE(ParseLayout(deep, error));
  EXPECT_FALSE(ParseLayout(std::string(kMaxLayoutSize + 1, '#'), error));
}

}  // namespace
}  // namespace ot
