#include "image_file.h"

#include <cstdio>
#include <fstream>
#include <iterator>

#include "commands.h"

namespace zubtool {

std::optional<CardImage> LoadImageFile(const std::string& path, std::optional<Format> format,
                                       std::string* error, Format* used,
                                       const std::optional<CardLayout>& layout) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = "cannot read " + path;
    return std::nullopt;
  }
  Bytes content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) {
    *error = "cannot read " + path;
    return std::nullopt;
  }
  std::vector<std::string> notes;
  auto image = LoadImageContent(content, path, format, error, used, layout, &notes);
  if (image) {
    for (const auto& note : notes)
      std::fprintf(stderr, "zubtool: note: %s: %s\n", path.c_str(), note.c_str());
  }
  return image;
}

std::optional<CardImage> LoadImageContent(const Bytes& content, const std::string& name,
                                          std::optional<Format> format, std::string* error,
                                          Format* used, const std::optional<CardLayout>& layout,
                                          std::vector<std::string>* notes) {
  Format f = format                     ? *format
             : FormatOfContent(content) ? *FormatOfContent(content)
             : FormatOfPath(name)       ? *FormatOfPath(name)
                                        : Format::kRaw;
  if (used) *used = f;
  std::string why;
  auto image = ReadImage(content, f, &why, layout, notes);
  if (!image) *error = name + " (" + FormatName(f) + "): " + why;
  return image;
}

Format OutputFormat(const std::string& path, std::optional<Format> format) {
  if (format) return *format;
  return FormatOfPath(path).value_or(Format::kRaw);
}

bool CheckNewFile(Output& output, const std::string& path, bool overwrite) {
  if (!overwrite) {
    if (std::FILE* probe = std::fopen(path.c_str(), "rb")) {
      std::fclose(probe);
      output.Fail(path + " exists; give --overwrite to replace it");
      return false;
    }
  }
  return CheckOutputFile(output, path);
}

bool SaveImageFile(Output& output, const std::string& path, const CardImage& image, Format format,
                   size_t* size) {
  std::vector<std::string> notes;
  const Bytes content = WriteImage(image, format, nullptr, &notes);
  if (size) *size = content.size();
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(content.data()),
             static_cast<std::streamsize>(content.size()));
  file.close();
  if (!file) {
    output.Fail("cannot write " + path);
    return false;
  }
  for (const auto& note : notes)
    std::fprintf(stderr, "zubtool: note: %s: %s\n", path.c_str(), note.c_str());
  return true;
}

}  // namespace zubtool
