#include "ui/window_fonts.h"

#include <FL/Fl.H>
#include <dirent.h>
#include <fcntl.h>
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_LCD_FILTER_H
// After the two it builds on.
#include <fontconfig/fcfreetype.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

// Made at build time from Debian's DejaVu Sans (cmake/embed_font.py).
extern const unsigned char embedded_font[];
extern const std::size_t embedded_font_size;

namespace {

// What Debian's fontconfig defaults give this window's font (10-hinting-
// slight, 10-yes-antialias, 11-lcdfilter-default and 20-unhint-small-
// dejavu-sans), and "sans", the toolkit's name for its default font,
// bound to the built-in face as firmly as the name itself, so that a
// face of the machine's taken on for a label never takes its place.
constexpr char rendering_rules[] = R"(<?xml version="1.0"?>
<fontconfig>
  <match target="pattern">
    <edit name="hintstyle" mode="append"><const>hintslight</const></edit>
  </match>
  <match target="pattern">
    <edit name="antialias" mode="append"><bool>true</bool></edit>
  </match>
  <match target="pattern">
    <edit name="lcdfilter" mode="append"><const>lcddefault</const></edit>
  </match>
  <match target="font">
    <test name="family"><string>DejaVu Sans</string></test>
    <test compare="less" name="pixelsize"><double>7.5</double></test>
    <edit name="hinting"><bool>false</bool></edit>
  </match>
  <alias binding="same">
    <family>sans</family>
    <prefer><family>DejaVu Sans</family></prefer>
  </alias>
</fontconfig>
)";

// A scan of folders without a cache of this fontconfig's stops after this.
constexpr std::chrono::seconds longest_font_scan{1};

struct FcPatternDeleter {
  void operator()(FcPattern* p) const { FcPatternDestroy(p); }
};
using PatternPointer = std::unique_ptr<FcPattern, FcPatternDeleter>;
struct FcConfigDeleter {
  void operator()(FcConfig* c) const { FcConfigDestroy(c); }
};
using ConfigPointer = std::unique_ptr<FcConfig, FcConfigDeleter>;
struct FcCharSetDeleter {
  void operator()(FcCharSet* c) const { FcCharSetDestroy(c); }
};
using CharSetPointer = std::unique_ptr<FcCharSet, FcCharSetDeleter>;
struct FcFontSetDeleter {
  void operator()(FcFontSet* s) const { FcFontSetDestroy(s); }
};
using FontSetPointer = std::unique_ptr<FcFontSet, FcFontSetDeleter>;
struct FcStrSetDeleter {
  void operator()(FcStrSet* s) const { FcStrSetDestroy(s); }
};
using StrSetPointer = std::unique_ptr<FcStrSet, FcStrSetDeleter>;

// Standard error goes nowhere while this lives.
class QuietStandardError {
 public:
  QuietStandardError()
      : saved_(fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0)),
        quiet_(open("/dev/null", O_WRONLY | O_CLOEXEC)) {
    if (saved_ >= 0 && quiet_ >= 0) dup2(quiet_, STDERR_FILENO);
  }
  ~QuietStandardError() {
    if (saved_ >= 0 && quiet_ >= 0) dup2(saved_, STDERR_FILENO);
    if (quiet_ >= 0) close(quiet_);
    if (saved_ >= 0) close(saved_);
  }
  QuietStandardError(const QuietStandardError&) = delete;
  QuietStandardError& operator=(const QuietStandardError&) = delete;

 private:
  int saved_;
  int quiet_;
};

// The built-in face. The toolkit keeps its fonts open until the process
// ends, so this lives as long.
class EmbeddedFace {
 public:
  EmbeddedFace() = default;
  EmbeddedFace(const EmbeddedFace&) = delete;
  EmbeddedFace& operator=(const EmbeddedFace&) = delete;
  ~EmbeddedFace() {
    if (face_) FT_Done_Face(face_);
    if (library_) FT_Done_FreeType(library_);
  }

  // Opens the face; false when it cannot be.
  bool load() {
    if (FT_Init_FreeType(&library_) != 0) return false;
    // The filter Xft sets on its own library for files it opens; a face
    // handed to it keeps its library's.
    FT_Library_SetLcdFilter(library_, FT_LCD_FILTER_DEFAULT);
    return FT_New_Memory_Face(library_, embedded_font, static_cast<FT_Long>(embedded_font_size), 0,
                              &face_) == 0;
  }

  // The face as fontconfig describes a font, with the face itself where a
  // file would be named. Null when out of memory.
  PatternPointer pattern() const {
    PatternPointer described(FcFreeTypeQueryFace(face_, nullptr, 0, nullptr));
    if (!described || !FcPatternAddFTFace(described.get(), FC_FT_FACE, face_)) return nullptr;
    return described;
  }

 private:
  FT_Library library_ = nullptr;
  FT_Face face_ = nullptr;
};

EmbeddedFace* embedded_face = nullptr;
const FcCharSet* embedded_characters = nullptr;

// The characters of `text` the built-in face lacks.
CharSetPointer characters_missing(const std::string& text) {
  CharSetPointer missing;
  const auto* next = reinterpret_cast<const FcChar8*>(text.data());
  int left = static_cast<int>(text.size());
  while (left > 0) {
    if (*next < 0x80) {
      ++next;
      --left;
      continue;
    }
    FcChar32 character = 0;
    int length = FcUtf8ToUcs4(next, &character, left);
    if (length <= 0) {
      ++next;  // not UTF-8: the toolkit draws the byte as it is
      --left;
      continue;
    }
    next += length;
    left -= length;
    if (FcCharSetHasChar(embedded_characters, character)) continue;
    if (!missing) missing.reset(FcCharSetCreate());
    if (missing) FcCharSetAddChar(missing.get(), character);
  }
  return missing;
}

// Whether this program's FreeType reads the face: TrueType and CFF
// outlines, without colour bitmaps (which need PNG).
bool readable_here(const FcPattern* font) {
  FcChar8* format = nullptr;
  FcBool colour = FcFalse;
  if (FcPatternGetString(font, FC_FONTFORMAT, 0, &format) != FcResultMatch) return false;
  if (FcPatternGetBool(font, FC_COLOR, 0, &colour) == FcResultMatch && colour) return false;
  return std::strcmp(reinterpret_cast<const char*>(format), "TrueType") == 0 ||
         std::strcmp(reinterpret_cast<const char*>(format), "CFF") == 0;
}

// The machine's own fonts, for the labels the built-in face cannot draw:
// loaded once, read-only.
class MachineFonts {
 public:
  MachineFonts() {
    // A configuration written for a newer fontconfig makes this one warn
    // about what it does not know; nobody could act on that.
    QuietStandardError quiet;
    config_.reset(FcConfigCreate());
    fonts_.reset(FcFontSetCreate());
    if (!config_ || !fonts_) return;
    // The file FONTCONFIG_FILE names, or /etc/fonts/fonts.conf: the
    // machine's font folders and its preferences.
    FcConfigParseAndLoad(config_.get(), nullptr, FcFalse);
    load_fonts();
  }

  // The toolkit font for `missing`, or FL_HELVETICA. A run's names mostly
  // share their characters: the machine's fonts are ranked once for each
  // set of characters that no earlier answer covers.
  Fl_Font font_for(const FcCharSet* missing) {
    for (const Chosen& chosen : chosen_)
      if (FcCharSetIsSubset(missing, chosen.characters)) return chosen.font;
    for (const Answer& answer : answers_)
      if (FcCharSetIsSubset(missing, answer.asked.get())) return answer.font;
    Fl_Font font = FL_HELVETICA;
    PatternPointer wanted = sans_serif_with(missing);
    if (const FcPattern* best = wanted ? best_face(wanted.get(), missing) : nullptr) {
      // As the machine's configuration would draw it: its rules for that
      // face (WenQuanYi Micro Hei unhinted, say) apply.
      PatternPointer prepared(
          FcFontRenderPrepare(config_.get(), wanted.get(), const_cast<FcPattern*>(best)));
      if (prepared) font = hand_to_toolkit(best, prepared.get());
    }
    answers_.push_back(
        Answer{CharSetPointer(FcCharSetCopy(const_cast<FcCharSet*>(missing))), font});
    return font;
  }

 private:
  struct Chosen {
    const FcCharSet* characters;  // held by the pattern, which fontconfig keeps
    Fl_Font font;
  };
  struct Answer {
    CharSetPointer asked;
    Fl_Font font;
  };

  void load_fonts() {
    auto deadline = std::chrono::steady_clock::now() + longest_font_scan;
    std::deque<std::string> folders;
    if (FcStrList* list = FcConfigGetFontDirs(config_.get())) {
      while (FcChar8* folder = FcStrListNext(list))
        folders.emplace_back(reinterpret_cast<const char*>(folder));
      FcStrListDone(list);
    }
    while (!folders.empty()) {
      std::string folder = std::move(folders.front());
      folders.pop_front();
      const auto* name = reinterpret_cast<const FcChar8*>(folder.c_str());
      // Kept loaded: the fonts copied out of it point into it.
      if (FcCache* cache = FcDirCacheLoad(name, config_.get(), nullptr)) {
        take(FontSetPointer(FcCacheCopySet(cache)).get());
        for (int i = 0; i < FcCacheNumSubdir(cache); ++i)
          folders.emplace_back(reinterpret_cast<const char*>(FcCacheSubdir(cache, i)));
      } else if (std::chrono::steady_clock::now() < deadline) {
        scan(folder, folders, deadline);
      }
    }
  }

  // Reads the fonts of a folder that has no cache this fontconfig can
  // read, file by file, until the deadline.
  void scan(const std::string& folder, std::deque<std::string>& folders,
            std::chrono::steady_clock::time_point deadline) {
    DIR* listing = opendir(folder.c_str());
    if (!listing) return;
    FontSetPointer found(FcFontSetCreate());
    StrSetPointer below(FcStrSetCreate());
    while (dirent* entry = readdir(listing)) {
      if (!found || !below || std::chrono::steady_clock::now() >= deadline) break;
      if (entry->d_name[0] == '.') continue;
      std::string path = folder + "/" + entry->d_name;
      FcFileScan(found.get(), below.get(), nullptr, nullptr,
                 reinterpret_cast<const FcChar8*>(path.c_str()), FcTrue);
    }
    closedir(listing);
    if (found) take(found.get());
    if (FcStrList* list = below ? FcStrListCreate(below.get()) : nullptr) {
      while (FcChar8* subfolder = FcStrListNext(list))
        folders.emplace_back(reinterpret_cast<const char*>(subfolder));
      FcStrListDone(list);
    }
  }

  void take(const FcFontSet* set) {
    if (!set) return;
    for (int i = 0; i < set->nfont; ++i) {
      if (!readable_here(set->fonts[i])) continue;
      FcPatternReference(set->fonts[i]);
      if (!FcFontSetAdd(fonts_.get(), set->fonts[i])) FcPatternDestroy(set->fonts[i]);
    }
  }

  // A sans-serif text of these characters in the locale's language, as
  // the machine's configuration asks for it.
  PatternPointer sans_serif_with(const FcCharSet* missing) {
    if (!config_ || !fonts_ || fonts_->nfont == 0) return nullptr;
    PatternPointer wanted(FcPatternCreate());
    if (!wanted) return nullptr;
    FcPatternAddString(wanted.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>("sans"));
    FcPatternAddCharSet(wanted.get(), FC_CHARSET, const_cast<FcCharSet*>(missing));
    FcConfigSubstitute(config_.get(), wanted.get(), FcMatchPattern);
    FcDefaultSubstitute(wanted.get());
    return wanted;
  }

  // The face the machine ranks first for `wanted`; where none has all of
  // its characters, the first that has the most.
  const FcPattern* best_face(FcPattern* wanted, const FcCharSet* missing) {
    FcFontSet* sets[] = {fonts_.get()};
    FcResult result;
    FontSetPointer ranked(FcFontSetSort(config_.get(), sets, 1, wanted, FcFalse, nullptr, &result));
    if (!ranked) return nullptr;
    const FcPattern* best = nullptr;
    FcChar32 best_count = 0;
    for (int i = 0; i < ranked->nfont; ++i) {
      FcCharSet* has = nullptr;
      if (FcPatternGetCharSet(ranked->fonts[i], FC_CHARSET, 0, &has) != FcResultMatch) continue;
      FcChar32 count = FcCharSetIntersectCount(missing, has);
      if (count > best_count) {
        best = ranked->fonts[i];
        best_count = count;
        if (count == FcCharSetCount(missing)) break;
      }
    }
    return best;  // held by fonts_ as well
  }

  // Puts `face` into the program's configuration under a family name of
  // its own, which the toolkit asks for, with the rendering that the
  // machine's configuration gives it (`prepared`), and names a toolkit
  // font for it.
  Fl_Font hand_to_toolkit(const FcPattern* face, const FcPattern* prepared) {
    Fl_Font font = static_cast<Fl_Font>(FL_FREE_FONT + chosen_.size());
    std::string family = "morrowline fallback " + std::to_string(chosen_.size() + 1);
    PatternPointer copy(FcPatternDuplicate(face));
    FcConfig* program = FcConfigGetCurrent();
    FcFontSet* program_fonts = FcConfigGetFonts(program, FcSetSystem);
    if (!copy || !program_fonts) return FL_HELVETICA;
    FcPatternDel(copy.get(), FC_FAMILY);
    FcPatternAddString(copy.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    std::string rules = rendering_of(family, prepared);
    if (!FcConfigParseAndLoadFromMemory(program, reinterpret_cast<const FcChar8*>(rules.c_str()),
                                        FcFalse))
      return FL_HELVETICA;
    FcCharSet* characters = nullptr;
    FcPatternGetCharSet(copy.get(), FC_CHARSET, 0, &characters);
    FcPattern* added = copy.release();
    if (!FcFontSetAdd(program_fonts, added)) {
      FcPatternDestroy(added);
      return FL_HELVETICA;
    }
    // The toolkit keeps the name's address; its first byte says the style.
    font_names_.push_back(" " + family);
    Fl::set_font(font, font_names_.back().c_str());
    chosen_.push_back(Chosen{characters, font});
    return font;
  }

  // A rule of the program's configuration that gives `family` the
  // rendering properties `prepared` has.
  static std::string rendering_of(const std::string& family, const FcPattern* prepared) {
    std::string rule = "<fontconfig><match target=\"font\"><test name=\"family\"><string>" +
                       family + "</string></test>";
    for (const char* name :
         {FC_ANTIALIAS, FC_HINTING, FC_AUTOHINT, FC_EMBEDDED_BITMAP, FC_EMBOLDEN}) {
      FcBool value;
      if (FcPatternGetBool(prepared, name, 0, &value) == FcResultMatch)
        rule += std::string("<edit name=\"") + name + "\" mode=\"assign\"><bool>" +
                (value ? "true" : "false") + "</bool></edit>";
    }
    for (const char* name : {FC_HINT_STYLE, FC_RGBA, FC_LCD_FILTER}) {
      int value;
      if (FcPatternGetInteger(prepared, name, 0, &value) == FcResultMatch)
        rule += std::string("<edit name=\"") + name + "\" mode=\"assign\"><int>" +
                std::to_string(value) + "</int></edit>";
    }
    return rule + "</match></fontconfig>";
  }

  ConfigPointer config_;
  FontSetPointer fonts_;
  std::vector<Chosen> chosen_;
  std::vector<Answer> answers_;
  std::deque<std::string> font_names_;
};

}  // namespace

void use_embedded_font() {
  auto face = std::make_unique<EmbeddedFace>();
  PatternPointer pattern = face->load() ? face->pattern() : nullptr;
  ConfigPointer config(FcConfigCreate());
  if (!config) return;
  const auto* rules = reinterpret_cast<const FcChar8*>(rendering_rules);
  if (!FcConfigParseAndLoadFromMemory(config.get(), rules, FcTrue) ||
      !FcConfigBuildFonts(config.get()))
    return;
  // A font set of no folder, to which the built-in face goes by hand.
  FcFontSet* fonts = FcConfigGetFonts(config.get(), FcSetSystem);
  if (pattern && fonts) {
    FcCharSet* characters = nullptr;
    FcPatternGetCharSet(pattern.get(), FC_CHARSET, 0, &characters);
    FcPattern* added = pattern.release();
    if (FcFontSetAdd(fonts, added)) {
      embedded_characters = characters;
      embedded_face = face.release();
    } else {
      FcPatternDestroy(added);
    }
  }
  FcConfigSetCurrent(config.get());  // takes a reference of its own
}

Fl_Font label_font(const std::string& text) {
  if (!embedded_face || !embedded_characters) return FL_HELVETICA;
  CharSetPointer missing = characters_missing(text);
  if (!missing) return FL_HELVETICA;
  static MachineFonts* machine_fonts = new MachineFonts;  // read once, kept
  return machine_fonts->font_for(missing.get());
}
