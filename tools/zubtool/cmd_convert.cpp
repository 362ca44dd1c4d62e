// convert: a card image from one dump format to another; no reader needed.
#include <cstdio>

#include "commands.h"
#include "image_file.h"

namespace zubtool {

std::string ParseConvert(const Arguments& args, Invocation* inv) {
  std::string error = ParseFormatOption(args, "--from", &inv->format);
  if (error.empty()) error = ParseFormatOption(args, "--to", &inv->outFormat);
  if (!error.empty()) return error;
  inv->overwrite = args.Has("--overwrite");
  if (args.Has("--card")) {
    inv->layout = LayoutByName(args.Value("--card"));
    if (!inv->layout) return "card must be mini, 1K, 2K or 4K: '" + args.Value("--card") + "'";
  }
  if (!(error = args.Count(2, 2, {"IN", "OUT"})).empty()) return error;
  inv->file = args.positionals[0];
  inv->file2 = args.positionals[1];
  return "";
}

int RunConvert(Context& context) {
  Output& output = context.Out();
  const Invocation& inv = context.inv;
  std::string error;
  Format from = Format::kRaw;
  auto image = LoadImageFile(inv.file, inv.format, &error, &from, inv.layout);
  if (!image) {
    output.Fail(error);
    return kExitUsage;
  }
  if (inv.layout && inv.layout->sectors != image->Layout().sectors) {
    output.Fail(inv.file + " holds a " + image->Layout().name + " image, not a " +
                inv.layout->name);
    return kExitUsage;
  }
  const Format to = OutputFormat(inv.file2, inv.outFormat);
  if (!CheckNewFile(output, inv.file2, inv.overwrite)) return kExitUsage;
  size_t size = 0;
  if (!SaveImageFile(output, inv.file2, *image, to, &size)) return kExitFailed;
  const int unknown = image->UnknownBytes();
  std::printf("%s (%s, %s%s) -> %s (%s, %zu bytes)\n", inv.file.c_str(), FormatName(from),
              image->Layout().name.c_str(),
              unknown ? (", " + std::to_string(unknown) + " bytes unknown").c_str() : "",
              inv.file2.c_str(), FormatName(to), size);
  return kExitOk;
}

}  // namespace zubtool
