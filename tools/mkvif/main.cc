// mkvif: the image builder. Makes VIF image files, the "%vif-info%" text form of their headers,
// and ext4 region images that carry their own text-form header.

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "image/field_table.h"
#include "image/integrity.h"
#include "mkvif/ext4_region.h"
#include "mkvif/header_builder.h"
#include "mkvif/image_writer.h"
#include "mkvif/info_text.h"
#include "mkvif/sign.h"
#include "platform/unique_fd.h"
#include "upgrade/dependency.h"

namespace vorn::mkvif {
namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;   // the work itself failed (I/O, mke2fs)
constexpr int EXIT_REFUSED = 2;  // bad usage or a value that does not fit the header

constexpr char HELP[] = R"(usage: mkvif <command> [options]

Builds VIF images: a 1024-byte header (region alias, version, dependency strings, integrity
values) followed by the contents.

commands:
  image      make a VIF image file from a contents file
  ext4       make an ext4 region image holding "%vif-info%" (and "%vif-setup%") and wrap it
             as a VIF image
  info-text  print or write the "%vif-info%" text form of a VIF image's header
  sign       write the detached signature of an image file
  help       this text (also --help)

mkvif image --alias NAME --version TEXT --contents FILE -o OUT [header options]
            [--compress] [--level N] [--info-text FILE]
  --contents FILE      the contents (a boot image, a file-system image, ...)
  -o, --output OUT     the VIF image to write
  --compress           store the contents as one zlib stream; sets the GZipped capability
  --level N            zlib level 1..9 (default 9)
  --info-text FILE     also write the header's text form to FILE

mkvif ext4 --dir DIR --size SIZE --alias NAME --version TEXT -o OUT [header options]
           [--setup-script FILE] [--ext4-out IMG] [--info-text FILE]
  --dir DIR            tree to put into the file system (not changed)
  --size SIZE          file-system size: bytes, or with K, M or G; a multiple of 4096
  --setup-script FILE  stored as "%vif-setup%" at the root; sets tag_setup to 1 unless
                       --tag-setup is given
  --ext4-out IMG       keep the bare file-system image as IMG too
  The contents are stored plain (a compressed size could not be written into the file system
  it describes). The "%vif-info%" inside carries every header field and the three header
  digests, but no contents_checksum, contents_crc32 or contents_sha1 entry: those describe the
  file system itself; the wrapping VIF header carries them.

mkvif info-text IMAGE [-o FILE] [--no-contents-digests]
  Writes the text form of IMAGE's header (to stdout without -o).

mkvif sign --key KEY.pem --cert CERT.pem [--chain CHAIN.pem] [-o OUT] IMAGE
  Writes a detached CMS signature (DER, SHA-256, signed attributes with the signing time) over
  the whole of IMAGE to OUT (default IMAGE.sig). --chain adds intermediate certificates to it.

header options (image and ext4):
  --alias NAME         target region, required: boot, system, app, recovery (at most 15
                       characters)
  --version TEXT       image version, required (at most 15 characters)
  --req-hw TEXT        hardware dependency string (at most 63 characters)
  --req-sw0 .. --req-sw4 TEXT
                       software dependency strings (at most 63 characters each)
  --timestamp N        build time, Unix seconds (default: $SOURCE_DATE_EPOCH, else now)
  --tag-setup N        non-zero: run the setup stage after install (default 0)
  --contents-type T    androidboot, ext4, raw or a number (default: androidboot for boot and
                       recovery, ext4 for system and app and in the ext4 command, else raw)
  --type T             image (0xA1, default) or package (0xA2) or a number (hdr_type)
  --hdr-version N      header version (default 1)
  --hdr-size N         header size (default 0x400)
  --contents-off N     contents offset (default 0x400; below 0x400 the contents still follow
                       the header)
  --cap N              capability bits (default 0; --compress adds 0x4)
  --set FIELD=VALUE    set any header field before the integrity values are computed
  --poke FIELD=VALUE   set any header field after them (to make broken test images)
  A uint32 VALUE is decimal or 0x-hex, a string is taken as is, a binary value is hex pairs.
  Strings may not hold double quotes, line breaks or field tags (".$name$="), since the text
  form could not carry them.
  -q, --quiet          print nothing on success

exit status: 0 done, 1 failed, 2 refused (bad usage or a value that does not fit)
)";

// "raw" has no code of its own: any value other than the two named ones reads as raw.
constexpr uint32_t CONTENTS_RAW = 0;

struct Options {
  std::string command;
  std::string contents;
  std::string output;
  std::string info_text_out;
  std::string dir;
  std::string setup_script;
  std::string ext4_out;
  std::string size;
  std::string image;  // info-text's input
  bool compress = false;
  int level = 9;
  bool quiet = false;
  bool contents_digests = true;
  std::optional<std::string> contents_type;
  bool tag_setup_given = false;
  bool contents_size_set = false;
  std::vector<std::pair<std::string, std::string>> sets;
  std::vector<std::pair<std::string, std::string>> pokes;
};

int refuse(const std::string& why) {
  std::fprintf(stderr, "mkvif: %s\n", why.c_str());
  return EXIT_REFUSED;
}

int fail(const std::string& why) {
  std::fprintf(stderr, "mkvif: %s\n", why.c_str());
  return EXIT_FAILED;
}

std::optional<uint32_t> parse_named(std::string_view text,
                                    std::initializer_list<std::pair<const char*, uint32_t>> names) {
  for (const auto& [name, value] : names) {
    if (text == name) return value;
  }
  return parse_u32(text);
}

std::optional<std::pair<std::string, std::string>> split_assignment(std::string_view text) {
  const size_t eq = text.find('=');
  if (eq == std::string_view::npos || eq == 0) return std::nullopt;
  return std::make_pair(std::string(text.substr(0, eq)), std::string(text.substr(eq + 1)));
}

uint32_t default_timestamp() {
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (epoch != nullptr) {
    if (const std::optional<uint32_t> value = parse_u32(epoch)) return *value;
  }
  return static_cast<uint32_t>(std::time(nullptr));
}

// Parses the command line into options and the header; empty on success, else the refusal.
// A dependency string the tool cannot read would make every check on every device refuse the
// image, so it is refused here, with the forms the tool reads. (--set stays free, for tests that
// want such an image.)
Refusal set_dependency(HeaderBuilder& header, const std::string& field, const std::string& text) {
  if (Refusal why = header.set_string(field, text); !why.empty()) return why;
  if (text.empty() || upgrade::dependency_well_formed(text.c_str()) == 0) return {};
  return "--" + std::string(field == "req_hw" ? "req-hw" : "req-sw" + field.substr(6)) + " '" +
         text +
         "' is not a dependency string: expected '<region>,<version>,<op>' (e.g. "
         "'boot,1.0.0,+') or '%hw%,<model>.<minor>.<patch>,<op>' (e.g. '%hw%,zt4100.1.*,+'), "
         "<version> as major.minor.patch (a part may be '*', then every later one too) and "
         "<op> one of < > = + -";
}

Refusal parse(int argc, char** argv, Options& opts, HeaderBuilder& header) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.empty()) return "no command (try mkvif --help)";
  opts.command = args[0];
  if (opts.command != "image" && opts.command != "ext4" && opts.command != "info-text") {
    return "unknown command '" + opts.command + "' (try mkvif --help)";
  }

  const bool ext4 = opts.command == "ext4";
  Refusal why = header.set_binary(
      "magic", std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(image::HEADER_MAGIC),
                                        image::MAGIC_SIZE));
  for (const auto& [name, value] :
       {std::pair<const char*, uint32_t>{"hdr_type", image::HDR_TYPE_IMAGE},
        {"hdr_version", 1},
        {"hdr_size", image::HEADER_SIZE},
        {"contents_off", image::HEADER_SIZE},
        {"timestamp", default_timestamp()}}) {
    if (why.empty()) why = header.set_u32(name, value);
  }
  if (!why.empty()) return why;

  for (size_t i = 1; i < args.size(); ++i) {
    std::string_view arg = args[i];
    std::optional<std::string_view> inline_value;
    if (arg.starts_with("--")) {
      if (const size_t eq = arg.find('='); eq != std::string_view::npos) {
        inline_value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
      }
    }
    bool value_missing = false;
    auto value = [&]() -> std::string {
      if (inline_value) return std::string(*inline_value);
      if (i + 1 >= args.size()) {
        value_missing = true;
        return {};
      }
      return std::string(args[++i]);
    };
    auto number = [&](const char* field) -> Refusal {
      const std::string text = value();
      if (value_missing) return {};
      const std::optional<uint32_t> n = parse_u32(text);
      if (!n) return std::string(arg) + ": '" + text + "' is not a number that fits 32 bits";
      return header.set_u32(field, *n);
    };

    if (arg == "-q" || arg == "--quiet") {
      opts.quiet = true;
    } else if (arg == "--compress") {
      opts.compress = true;
    } else if (arg == "--no-contents-digests") {
      opts.contents_digests = false;
    } else if (arg == "-o" || arg == "--output") {
      opts.output = value();
    } else if (arg == "--contents") {
      opts.contents = value();
    } else if (arg == "--info-text") {
      opts.info_text_out = value();
    } else if (arg == "--dir") {
      opts.dir = value();
    } else if (arg == "--size") {
      opts.size = value();
    } else if (arg == "--setup-script") {
      opts.setup_script = value();
    } else if (arg == "--ext4-out") {
      opts.ext4_out = value();
    } else if (arg == "--level") {
      const std::string text = value();
      const std::optional<uint32_t> n = parse_u32(text);
      if (!value_missing && (!n || *n < 1 || *n > 9)) return "--level takes 1 to 9";
      if (n) opts.level = static_cast<int>(*n);
    } else if (arg == "--alias") {
      why = header.set_string("alias", value());
    } else if (arg == "--version") {
      why = header.set_string("version", value());
    } else if (arg == "--req-hw") {
      why = set_dependency(header, "req_hw", value());
    } else if (arg.starts_with("--req-sw") && arg.size() == 9 && arg[8] >= '0' && arg[8] <= '4') {
      why = set_dependency(header, "req_sw" + std::string(1, arg[8]), value());
    } else if (arg == "--timestamp") {
      why = number("timestamp");
    } else if (arg == "--tag-setup") {
      why = number("tag_setup");
      opts.tag_setup_given = true;
    } else if (arg == "--hdr-version") {
      why = number("hdr_version");
    } else if (arg == "--hdr-size") {
      why = number("hdr_size");
    } else if (arg == "--contents-off") {
      why = number("contents_off");
    } else if (arg == "--cap") {
      why = number("hdr_cap");
    } else if (arg == "--type") {
      const std::string text = value();
      const std::optional<uint32_t> n = parse_named(
          text, {{"image", image::HDR_TYPE_IMAGE}, {"package", image::HDR_TYPE_PACKAGE}});
      if (!value_missing && !n) return "--type takes image, package or a 32-bit number";
      if (n) why = header.set_u32("hdr_type", *n);
    } else if (arg == "--contents-type") {
      opts.contents_type = value();
    } else if (arg == "--set" || arg == "--poke") {
      const std::string text = value();
      const auto assignment = split_assignment(text);
      if (!value_missing && !assignment) return std::string(arg) + " takes FIELD=VALUE";
      if (assignment) {
        // Checked now, so that a bad poke is refused before anything is written.
        HeaderBuilder scratch;
        why = scratch.set_from_text(assignment->first, assignment->second);
        (arg == "--set" ? opts.sets : opts.pokes).push_back(*assignment);
      }
    } else if (arg == "-h" || arg == "--help") {
      return "--help";
    } else if (opts.command == "info-text" && !arg.starts_with("-") && opts.image.empty()) {
      opts.image = arg;
    } else {
      return "unknown option '" + std::string(arg) + "' (try mkvif --help)";
    }
    if (value_missing) return std::string(arg) + " needs a value";
    if (!why.empty()) return why;
  }

  // The contents type follows the target region unless it is given.
  uint32_t contents_type = CONTENTS_RAW;
  const std::string alias = [&] {
    std::array<char, image::STRING_SLOT_SHORT> text{};
    const image::HeaderFieldDesc* row = image::field_find("alias", 1);
    std::copy_n(header.bytes().begin() + row->offset, text.size() - 1, text.begin());
    return std::string(text.data());
  }();
  if (opts.contents_type) {
    const std::optional<uint32_t> n =
        parse_named(*opts.contents_type, {{"androidboot", image::CONTENTS_ANDROIDBOOT},
                                          {"ext4", image::CONTENTS_EXT4},
                                          {"raw", CONTENTS_RAW}});
    if (!n) return "--contents-type takes androidboot, ext4, raw or a 32-bit number";
    contents_type = *n;
  } else if (ext4 || alias == "system" || alias == "app") {
    contents_type = image::CONTENTS_EXT4;
  } else if (alias == "boot" || alias == "recovery") {
    contents_type = image::CONTENTS_ANDROIDBOOT;
  }
  why = header.set_u32("contents_type", contents_type);
  if (ext4 && !opts.setup_script.empty() && !opts.tag_setup_given && why.empty()) {
    why = header.set_u32("tag_setup", 1);
  }
  for (const auto& [name, text] : opts.sets) {
    if (why.empty()) why = header.set_from_text(name, text);
    if (name == "contents_size") opts.contents_size_set = true;
  }
  return why;
}

Refusal write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  if (!out) return "cannot write " + path;
  return {};
}

// A handle over a copy of the header bytes, for the same lookups the system makes.
struct HeaderView {
  std::array<uint8_t, image::HEADER_SIZE> buffer{};
  image::HeaderHandle handle{};

  explicit HeaderView(std::span<const uint8_t, image::HEADER_SIZE> bytes) {
    (void)image::header_init(&handle, "mkvif", buffer.data(), buffer.size());
    std::copy(bytes.begin(), bytes.end(), buffer.begin());
  }
};

void print_summary(const Options& opts, const HeaderBuilder& header) {
  if (opts.quiet) return;
  HeaderView view(header.bytes());
  std::array<char, 64> alias{};
  std::array<char, 64> version{};
  (void)image::header_get_string(&view.handle, "alias", alias.data(), alias.size());
  (void)image::header_get_string(&view.handle, "version", version.data(), version.size());
  std::printf("%s: %s %s, contents 0x%x bytes%s, hdr_crc32 0x%08x, contents_crc32 0x%08x\n",
              opts.output.c_str(), alias.data(), version.data(), header.get_u32("contents_size"),
              (header.get_u32("hdr_cap") & image::HDR_CAP_COMPRESSED) != 0 ? " (zlib)" : "",
              header.get_u32("hdr_crc32"), header.get_u32("contents_crc32"));
}

// An image without its region's name or a version cannot be installed or matched; a missing
// one is taken for a mistake (a test that wants one can still --poke it away).
Refusal identity_given(const HeaderBuilder& header) {
  HeaderView view(header.bytes());
  for (const char* name : {"alias", "version"}) {
    std::array<char, image::STRING_SLOT_SHORT> text{};
    if (image::header_get_string(&view.handle, name, text.data(), text.size()) == nullptr ||
        text[0] == '\0') {
      return std::string("--") + name + " is required";
    }
  }
  return {};
}

int run_image(const Options& opts, HeaderBuilder& header) {
  if (opts.contents.empty()) return refuse("image: --contents FILE is required");
  if (opts.output.empty()) return refuse("image: -o OUT is required");
  if (const Refusal why = identity_given(header); !why.empty()) return refuse("image: " + why);
  ImageRequest request{.contents_path = opts.contents,
                       .out_path = opts.output,
                       .compress = opts.compress,
                       .level = opts.level,
                       .keep_contents_size = opts.contents_size_set,
                       .pokes = opts.pokes};
  if (const Refusal why = write_image(header, request); !why.empty()) return fail(why);
  if (!opts.info_text_out.empty()) {
    HeaderView view(header.bytes());
    const Refusal why =
        write_text(opts.info_text_out, info_text(view.handle, ContentsDigests::INCLUDED));
    if (!why.empty()) return fail(why);
  }
  print_summary(opts, header);
  return EXIT_OK;
}

int run_ext4(const Options& opts, HeaderBuilder& header) {
  if (opts.dir.empty()) return refuse("ext4: --dir DIR is required");
  if (opts.output.empty()) return refuse("ext4: -o OUT is required");
  if (opts.compress) {
    return refuse(
        "ext4: --compress is not possible: the file system would have to hold its "
        "own compressed size");
  }
  const std::optional<uint64_t> size = parse_size(opts.size);
  if (!size || *size == 0 || *size % EXT4_BLOCK_SIZE != 0 || *size > 0xFFFFFFFFull) {
    return refuse("ext4: --size takes a size below 4G that is a multiple of 4096 (e.g. 16M)");
  }
  if (const Refusal why = identity_given(header); !why.empty()) return refuse("ext4: " + why);
  // The size is known before the file system exists, so the text form can carry it.
  if (!opts.contents_size_set) {
    if (const Refusal why = header.set_u32("contents_size", static_cast<uint32_t>(*size));
        !why.empty()) {
      return refuse(why);
    }
  }
  if (const Refusal why = seal_header(header); !why.empty()) return fail(why);
  HeaderView view(header.bytes());
  const std::string text = info_text(view.handle, ContentsDigests::LEFT_OUT);
  if (text.size() > INFO_TEXT_MAX) {
    return refuse("the text form is " + std::to_string(text.size()) + " bytes; at most " +
                  std::to_string(INFO_TEXT_MAX) + " can be read on the device");
  }

  std::string fs_image = opts.ext4_out;
  if (fs_image.empty()) fs_image = opts.output + ".ext4.tmp";
  std::array<char, image::STRING_SLOT_SHORT> label{};
  (void)image::header_get_string(&view.handle, "alias", label.data(), label.size());
  const Ext4Request request{.dir = opts.dir,
                            .setup_script = opts.setup_script,
                            .info_text = text,
                            .label = label.data(),
                            .size = *size,
                            .image_path = fs_image};
  if (const Refusal why = make_ext4_image(request); !why.empty()) return fail(why);

  const Refusal why = write_image(header, {.contents_path = fs_image,
                                           .out_path = opts.output,
                                           .compress = false,
                                           .level = opts.level,
                                           .keep_contents_size = true,
                                           .pokes = opts.pokes});
  if (opts.ext4_out.empty()) ::unlink(fs_image.c_str());
  if (!why.empty()) return fail(why);
  if (!opts.info_text_out.empty()) {
    if (const Refusal w = write_text(opts.info_text_out, text); !w.empty()) return fail(w);
  }
  print_summary(opts, header);
  return EXIT_OK;
}

int run_info_text(const Options& opts) {
  if (opts.image.empty()) return refuse("info-text: an IMAGE is required");
  std::array<uint8_t, image::HEADER_SIZE> buffer{};
  image::HeaderHandle handle;
  if (image::header_init(&handle, opts.image.c_str(), buffer.data(), buffer.size()) == nullptr) {
    return fail("cannot prepare a header handle");
  }
  platform::UniqueFd fd(::open(opts.image.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return fail("cannot open " + opts.image);
  const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
  handle.data_len = n < 0 ? 0 : static_cast<uint32_t>(n);
  if (image::header_check(&handle, image::VERIFY_NONE) == 0) {
    return fail(opts.image + " does not start with a valid VIF header");
  }
  const std::string text = info_text(
      handle, opts.contents_digests ? ContentsDigests::INCLUDED : ContentsDigests::LEFT_OUT);
  if (opts.output.empty()) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return EXIT_OK;
  }
  if (const Refusal why = write_text(opts.output, text); !why.empty()) return fail(why);
  return EXIT_OK;
}

int run_sign(int argc, char** argv) {
  SignRequest request;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    std::string* value = arg == "--key"                     ? &request.key
                         : arg == "--cert"                  ? &request.cert
                         : arg == "--chain"                 ? &request.chain
                         : arg == "-o" || arg == "--output" ? &request.out
                                                            : nullptr;
    if (value != nullptr) {
      if (++i == argc) return refuse(std::string(arg) + " needs a value");
      *value = argv[i];
    } else if (!arg.starts_with("-") && request.image.empty()) {
      request.image = arg;
    } else {
      return refuse("unknown option '" + std::string(arg) + "' (try mkvif --help)");
    }
  }
  if (request.key.empty() || request.cert.empty() || request.image.empty()) {
    return refuse("sign: --key KEY.pem, --cert CERT.pem and an IMAGE are required");
  }
  if (request.out.empty()) request.out = request.image + ".sig";
  if (const Refusal why = sign_image(request); !why.empty()) return fail(why);
  return EXIT_OK;
}

int run(int argc, char** argv) {
  if (argc >= 2 && std::string_view(argv[1]) == "sign") return run_sign(argc, argv);
  if (argc >= 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h" ||
                    std::string_view(argv[1]) == "help")) {
    std::fputs(HELP, stdout);
    return EXIT_OK;
  }
  Options opts;
  HeaderBuilder header;
  const Refusal why = parse(argc, argv, opts, header);
  if (why == "--help") {
    std::fputs(HELP, stdout);
    return EXIT_OK;
  }
  if (!why.empty()) return refuse(why);
  if (opts.command == "image") return run_image(opts, header);
  if (opts.command == "ext4") return run_ext4(opts, header);
  return run_info_text(opts);
}

}  // namespace
}  // namespace vorn::mkvif

int main(int argc, char** argv) { return vorn::mkvif::run(argc, argv); }
