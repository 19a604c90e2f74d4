#include "sif/xlsx_builder.hpp"

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace vendro::testing {

namespace {

std::uint32_t crc32(std::string_view data) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : data) crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

void put16(std::string& out, std::uint16_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>(v >> 8);
}

void put32(std::string& out, std::uint32_t v) {
  put16(out, static_cast<std::uint16_t>(v & 0xFFFF));
  put16(out, static_cast<std::uint16_t>(v >> 16));
}

std::string xml_escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '&')
      out += "&amp;";
    else
      out += c;
  }
  return out;
}

std::string stored_zip(const std::vector<std::pair<std::string, std::string>>& entries) {
  constexpr std::uint16_t DOS_TIME = 0, DOS_DATE = (2024 - 1980) << 9 | 1 << 5 | 1;
  std::string archive, directory;
  for (const auto& [name, data] : entries) {
    auto offset = static_cast<std::uint32_t>(archive.size());
    std::uint32_t crc = crc32(data);
    auto size = static_cast<std::uint32_t>(data.size());
    auto name_len = static_cast<std::uint16_t>(name.size());

    put32(archive, 0x04034b50);
    put16(archive, 20);  // version needed
    put16(archive, 0);   // flags
    put16(archive, 0);   // stored
    put16(archive, DOS_TIME);
    put16(archive, DOS_DATE);
    put32(archive, crc);
    put32(archive, size);
    put32(archive, size);
    put16(archive, name_len);
    put16(archive, 0);
    archive += name;
    archive += data;

    put32(directory, 0x02014b50);
    put16(directory, 20);  // made by
    put16(directory, 20);  // needed
    put16(directory, 0);
    put16(directory, 0);
    put16(directory, DOS_TIME);
    put16(directory, DOS_DATE);
    put32(directory, crc);
    put32(directory, size);
    put32(directory, size);
    put16(directory, name_len);
    put16(directory, 0);  // extra
    put16(directory, 0);  // comment
    put16(directory, 0);  // disk
    put16(directory, 0);  // internal attributes
    put32(directory, 0);  // external attributes
    put32(directory, offset);
    directory += name;
  }
  auto directory_offset = static_cast<std::uint32_t>(archive.size());
  archive += directory;
  put32(archive, 0x06054b50);
  put16(archive, 0);
  put16(archive, 0);
  put16(archive, static_cast<std::uint16_t>(entries.size()));
  put16(archive, static_cast<std::uint16_t>(entries.size()));
  put32(archive, static_cast<std::uint32_t>(directory.size()));
  put32(archive, directory_offset);
  put16(archive, 0);
  return archive;
}

constexpr const char* XML_HEAD = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)";
constexpr const char* RELS_NS = "http://schemas.openxmlformats.org/package/2006/relationships";
constexpr const char* DOC_REL =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
constexpr const char* MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
constexpr const char* SHEET_TYPE = "application/vnd.openxmlformats-officedocument.spreadsheetml";

}  // namespace

std::string make_xlsx(std::string_view cell_text) {
  std::string head = XML_HEAD;
  std::string content_types =
      head + R"(<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">)" +
      R"(<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>)" +
      R"(<Default Extension="xml" ContentType="application/xml"/>)" +
      R"(<Override PartName="/xl/workbook.xml" ContentType=")" + SHEET_TYPE +
      R"(.sheet.main+xml"/>)" + R"(<Override PartName="/xl/worksheets/sheet1.xml" ContentType=")" +
      SHEET_TYPE + R"(.worksheet+xml"/></Types>)";
  std::string root_rels = head + R"(<Relationships xmlns=")" + RELS_NS +
                          R"("><Relationship Id="rId1" Type=")" + DOC_REL +
                          R"(/officeDocument" Target="xl/workbook.xml"/></Relationships>)";
  std::string workbook = head + R"(<workbook xmlns=")" + MAIN_NS + R"(" xmlns:r=")" + DOC_REL +
                         R"("><sheets><sheet name="Sheet1" sheetId="1" r:id="rId1"/></sheets>)" +
                         "</workbook>";
  std::string workbook_rels = head + R"(<Relationships xmlns=")" + RELS_NS +
                              R"("><Relationship Id="rId1" Type=")" + DOC_REL +
                              R"(/worksheet" Target="worksheets/sheet1.xml"/></Relationships>)";
  std::string sheet = head + R"(<worksheet xmlns=")" + MAIN_NS +
                      R"("><sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>)" +
                      xml_escape(cell_text) + "</t></is></c></row></sheetData></worksheet>";
  return stored_zip({{"[Content_Types].xml", content_types},
                     {"_rels/.rels", root_rels},
                     {"xl/workbook.xml", workbook},
                     {"xl/_rels/workbook.xml.rels", workbook_rels},
                     {"xl/worksheets/sheet1.xml", sheet}});
}

}  // namespace vendro::testing
