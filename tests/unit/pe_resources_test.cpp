#include "bkpack/pe_resources.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "tests/support/pe_images.h"

namespace {

const std::string INSTALLER = "MZ the reader installer of the day";

// The resources of a launcher: the installer, the icon group IDI_ICON1 and
// its two images, and a manifest that every rebuild keeps.
std::vector<PeiResource> launcher_resources() {
  return {
      {pei_name(u"ZUX"), pei_name(u"INSTPLUG"), 1033, "MZ an old installer", 0, 0},
      {pei_id(PEI_RT_ICON), pei_id(1), 1033, pei_bitmap(48, 'a'), 0, 0},
      {pei_id(PEI_RT_ICON), pei_id(2), 1033, pei_png(24, 'b'), 0, 0},
      {pei_id(PEI_RT_GROUP_ICON), pei_name(u"IDI_ICON1"), 1033, pei_group({1, 2}), 1252, 0},
      {pei_id(24), pei_id(1), 1033, "<assembly/>", 0, 0},
  };
}

PeiPlan launcher(bool relocations = true) {
  PeiPlan plan{};
  plan.resources = launcher_resources();
  plan.relocations = relocations;
  return plan;
}

// A bitmap whose header is the largest there is, a PNG of its signature
// alone, a 256x256 bitmap of more than 64 KiB: the first lies right after
// the list, the last ends the file.
std::string cover() {
  std::string v5 = pei_bitmap(124, 'c');
  pei_put(&v5, 0, 4, 124);
  std::string ico = pei_ico({v5, pei_png(8, 'd'), pei_bitmap(0x10028, 'e')});
  pei_put(&ico, 6 + 32, 2, 0);  // 0 is 256
  return ico;
}

struct Rebuilt {
  int result;
  std::string bytes;
  std::string why;
  uint32_t certificate;
};

// peres_rebuild on exact-size copies, so that ASan sees a read past an end.
Rebuilt rebuild(const std::string &pe, const std::string *ico, const std::string *installer) {
  std::vector<uint8_t> p(pe.begin(), pe.end());
  std::vector<uint8_t> i =
      ico ? std::vector<uint8_t>(ico->begin(), ico->end()) : std::vector<uint8_t>();
  PeresImage image;
  char why[PERES_WHY_CAP];
  int r = peres_rebuild(p.data(), (uint32_t)p.size(), ico ? i.data() : NULL, (uint32_t)i.size(),
                        installer ? (const uint8_t *)installer->data() : NULL,
                        installer ? (uint32_t)installer->size() : 0, &image, why);
  Rebuilt out{r, "", why, image.certificate_size};
  EXPECT_EQ(r == PERES_OK, image.bytes != NULL);
  if (image.bytes) out.bytes.assign((const char *)image.bytes, image.size);
  free(image.bytes);
  return out;
}

// Rebuilds PE, checks the result as the loader reads it, and that it is
// accepted and rebuilt into the same bytes again.
void expect_exact(const std::string &pe, const std::string *ico, const std::string *installer) {
  Rebuilt r = rebuild(pe, ico, installer);
  ASSERT_EQ(r.result, PERES_OK) << r.why;
  std::string why;
  EXPECT_TRUE(pei_check_rebuilt(pe, r.bytes, ico, installer, &why)) << why;
  Rebuilt again = rebuild(r.bytes, ico, installer);
  ASSERT_EQ(again.result, PERES_OK) << again.why;
  EXPECT_TRUE(again.bytes == r.bytes) << "a second rebuild changed the bytes";
}

struct Unusual {
  const char *what;
  PeiPlan plan;
};

// Valid launchers at the edges of what the rebuilder reads.
std::vector<Unusual> unusual_launchers() {
  std::vector<Unusual> all;
  all.push_back({"as the linker lays it out", launcher()});
  all.push_back({"without base relocations", launcher(false)});
  PeiPlan s = launcher();
  s.nt = 0x290;
  all.push_back({"whose section table ends where its resources begin", s});
  s = launcher();
  s.directories = 6;
  all.push_back({"with six data directories", s});
  s = launcher();
  s.resources.push_back({pei_id(PEI_RT_ICON), pei_id(7), 1033, pei_bitmap(40, 'f'), 0, 0});
  s.resources.push_back({pei_id(PEI_RT_GROUP_ICON), pei_id(2), 1033, pei_group({2, 7}), 0, 0});
  s.resources.push_back({pei_id(PEI_RT_ICON), pei_id(3), 1033, pei_bitmap(40, 'h'), 0, 0});
  all.push_back({"with a second icon group sharing an image, and an image of no group", s});
  s = launcher();
  s.resources.push_back({pei_id(PEI_RT_ICON), pei_id(3), 1031, pei_bitmap(40, 'g'), 0, 0});
  s.resources.insert(s.resources.begin() + 3, {pei_id(PEI_RT_GROUP_ICON), pei_name(u"IDI_ICON1"),
                                               1031, pei_group({3}), 0, 0});
  s.resources.insert(s.resources.begin(),
                     {pei_name(u"ZUX"), pei_name(u"INSTPLUG"), 1031, "MZ", 0, 0});
  all.push_back({"with its icon and installer in two languages", s});
  s = launcher();
  s.time_stamp = 0x65A1B2C3;
  s.overlay = "bytes after the sections";
  s.symbols = std::string(36, 's');
  s.certificate = std::string(24, 'c');
  all.push_back({"stamped, with a symbol table and a signature after other bytes", s});
  s.overlay = "";
  s.symbols_last = true;
  all.push_back({"with a signature right after its sections, a symbol table after it", s});
  s.certificate = "";
  all.push_back({"with a symbol table right after its sections", s});
  s = launcher();
  // Given out of order: names by UTF-16 unit (a prefix first, 0x8000 after
  // letters), then IDs rising, the largest there is among them.
  for (const PeiKey &type : {pei_name(u"\x8000"), pei_name(u"ZU"), pei_id(0x7FFFFFFF),
                             pei_name(u"ZUXA"), pei_name(u"a"), pei_id(PEI_RT_ICON)})
    s.resources.push_back({type, pei_id(0xFFFF), 0x7FFFFFFF, "x", 0, 0});
  s.resources.push_back({pei_id(10), pei_name(u"B"), 0, "", 0, 0});
  s.resources.push_back({pei_id(10), pei_name(u"A"), 0, "odd", 0, 0});
  s.resources.push_back({pei_name(u"ZUXA"), pei_name(u"INSTPLUG"), 0, "not the installer", 0, 0});
  all.push_back({"with resources out of order", s});
  return all;
}

TEST(PeResources, RebuildsUnusualLaunchersExactly) {
  std::string ico = cover();
  for (const Unusual &u : unusual_launchers()) {
    SCOPED_TRACE(u.what);
    expect_exact(pei_build(u.plan).bytes, &ico, &INSTALLER);
  }
  std::string pe = pei_build(launcher()).bytes;
  expect_exact(pe, &ico, NULL);
  expect_exact(pe, NULL, &INSTALLER);
  std::vector<std::string> images;
  for (int i = 0; i < (int)PERES_ICON_MAX; ++i) images.push_back(pei_png(9, (char)i));
  std::string most = pei_ico(images);
  expect_exact(pe, &most, NULL);
  // The most resources it keeps, with one image for the two it drops.
  PeiPlan full = launcher();
  full.resources.resize(4096, {pei_id(10), pei_id(0), 0, "", 0, 0});
  for (uint32_t i = 5; i < 4096; ++i) full.resources[i].name = pei_id(i);
  std::string one = pei_ico({pei_png(9, 'p')});
  expect_exact(pei_build(full).bytes, &one, NULL);
}

TEST(PeResources, KeepsTheTimeStampAndMovesTheSymbolTableWithTheBytesAfterTheSections) {
  PeiPlan s = launcher();
  s.time_stamp = 0x65A1B2C3;
  s.symbols = std::string(36, 's');
  s.certificate = std::string(24, 'c');
  s.symbols_last = true;
  PeiImage im = pei_build(s);
  std::string ico = cover();
  Rebuilt r = rebuild(im.bytes, &ico, &INSTALLER);
  ASSERT_EQ(r.result, PERES_OK) << r.why;
  EXPECT_EQ(r.certificate, 24u);
  EXPECT_EQ(pei_get(r.bytes, im.at[PEI_NT] + 8, 4), 0x65A1B2C3u);
  uint32_t symbols = pei_get(r.bytes, im.at[PEI_NT] + 12, 4);
  EXPECT_EQ(r.bytes.substr(symbols), s.symbols);
}

TEST(PeResources, DescribesTheIconAndInstallerItWrote) {
  std::string ico = cover();
  Rebuilt r = rebuild(pei_build(launcher()).bytes, &ico, &INSTALLER);
  ASSERT_EQ(r.result, PERES_OK) << r.why;
  PeresSummary summary;
  char why[PERES_WHY_CAP];
  ASSERT_EQ(
      peres_describe((const uint8_t *)r.bytes.data(), (uint32_t)r.bytes.size(), &summary, why),
      PERES_OK)
      << why;
  ASSERT_EQ(summary.icon_count, 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(summary.icons[i].width, i == 2 ? 256 : 16 + 8 * i);
    EXPECT_EQ(summary.icons[i].height, i == 2 ? 256 : 16 + 8 * i);
    EXPECT_EQ(summary.icons[i].bits, 32u);
    EXPECT_EQ(summary.icons[i].png, i == 1);
  }
  EXPECT_EQ(std::string((const char *)summary.installer, summary.installer_size), INSTALLER);
  EXPECT_EQ(summary.manifest, 1);

  // A manifest is ID 1 of type 24, in whatever language; an ID 2 is not one.
  for (uint32_t lang : {0u, 1031u}) {
    for (uint32_t id : {1u, 2u}) {
      PeiPlan s = launcher();
      s.resources[4].lang = lang;
      s.resources[4].name = pei_id(id);
      std::string pe = pei_build(s).bytes;
      ASSERT_EQ(peres_describe((const uint8_t *)pe.data(), (uint32_t)pe.size(), &summary, why),
                PERES_OK)
          << why;
      EXPECT_EQ(summary.manifest, id == 1) << "language " << lang << ", ID " << id;
    }
  }
}

// One field of a built launcher changed: set to VALUE (plus the offset of
// VALUE_AT) in WIDTH bytes, or (WIDTH -4) added to, or (WIDTH 0) the file
// cut there.
struct Patch {
  PeiAt at;
  uint32_t offset;
  int width;
  uint32_t value = 0;
  PeiAt value_at = PEI_FILE;
};

void apply(PeiImage *im, const Patch &p) {
  if (p.at == PEI_FILE && p.offset == 0 && p.width == 0) return;  // a row's unused second patch
  uint32_t at = im->at[p.at] + p.offset, value = p.value + im->at[p.value_at];
  if (p.width == 0) im->bytes.resize(at);
  if (p.width < 0) pei_put(&im->bytes, at, 4, pei_get(im->bytes, at, 4) + value);
  if (p.width > 0) pei_put(&im->bytes, at, p.width, value);
}

struct Malformed {
  const char *what;
  bool signed_launcher;
  Patch patch[2];
  const char *refusal;
};

const uint32_t HIGH = 0x80000000u;

// One row per check of the launcher's headers, relocations and resource
// tree: the launcher of launcher() (signed when asked) with one field
// changed, just past what is accepted where there is an edge.
// clang-format off
const Malformed MALFORMED[] = {
    {"17 bytes that start with MZ", false, {{PEI_FILE, 17, 0}},
     "too short for an MZ header"},
    {"no M", false, {{PEI_FILE, 0, 1, 'X'}},
     "no MZ header"},
    {"no Z", false, {{PEI_FILE, 1, 1, 'X'}},
     "no MZ header"},
    {"PE header past the end", false, {{PEI_FILE, 0x3C, 4, 0xFFFFFFF0u}},
     "no PE header"},
    {"no PE signature", false, {{PEI_NT, 2, 1, 'X'}},
     "no PE header"},
    {"an x64 machine", false, {{PEI_NT, 4, 2, 0x8664}},
     "not a 32-bit Windows program"},
    {"a PE32+ optional header", false, {{PEI_OPT, 0, 2, 0x20B}},
     "not a 32-bit Windows program"},
    {"cut in its file header", false, {{PEI_NT, 23, 0}},
     "no PE header"},
    {"cut in its optional header", false, {{PEI_OPT, 95, 0}},
     "not a 32-bit Windows program"},
    {"cut after its optional header's fields", false, {{PEI_OPT, 96, 0}},
     "optional header is malformed"},
    {"five data directories", false, {{PEI_OPT, 92, 4, 5}},
     "optional header is malformed"},
    {"seventeen data directories", false, {{PEI_OPT, 92, 4, 17}, {PEI_NT, 20, 2, 96 + 8 * 17}},
     "optional header is malformed"},
    {"an optional header short of its directories", false, {{PEI_NT, 20, 2, 223}},
     "optional header is malformed"},
    {"an optional header past the end", false, {{PEI_NT, 20, 2, 0xFFFF}},
     "optional header is malformed"},
    {"no sections", false, {{PEI_NT, 6, 2, 0}},
     "section table"},
    {"a section table a byte past the end", false, {{PEI_TEXT, 40 * 3 - 1, 0}},
     "section table"},
    {"a file alignment of 0x300", false, {{PEI_OPT, 36, 4, 0x300}},
     "alignment is malformed"},
    {"a file alignment of 128 KiB", false, {{PEI_OPT, 36, 4, 0x20000}, {PEI_OPT, 32, 4, 0x20000}},
     "alignment is malformed"},
    {"a section alignment of 0x1800", false, {{PEI_OPT, 32, 4, 0x1800}},
     "alignment is malformed"},
    {"a section alignment below the file's", false, {{PEI_OPT, 32, 4, 0x100}},
     "alignment is malformed"},
    {"no resource directory", false, {{PEI_DIRS, 16, 4, 0}},
     "has no resources"},
    {"resources inside a section", false, {{PEI_DIRS, 16, 4, 0x2008}},
     "do not begin a section"},
    {"resources in the first of three sections", false, {{PEI_DIRS, 16, 4, 0x1000}},
     "not the last one"},
    {"no relocation directory", false, {{PEI_DIRS, 40, 4, 0}},
     "other than the base relocations"},
    {"relocations before their section", false, {{PEI_DIRS, 40, -4, 0xFFFFFFFFu}},
     "other than the base relocations"},
    {"resource bytes past the end", false, {{PEI_RSRC, 16, 4, 0x100000}},
     "resource section runs past the end"},
    {"resource bytes that begin inside the headers", false, {{PEI_RSRC, 20, 4, 0x1EF}},
     "begin inside its headers"},
    {"a virtual size short of the resource tree", false, {{PEI_RSRC, 8, 4, 0x10}},
     "runs past the resource section"},
    {"relocations at the code's address", false, {{PEI_RELOC, 12, 4, 0x1000}},
     "relocation section is out of place"},
    {"relocation bytes inside the resources'", false, {{PEI_RELOC, 20, -4, 0xFFFFFFFFu}},
     "relocation section is out of place"},
    {"relocation bytes past the end", false, {{PEI_RELOC, 16, 4, 0x100000}},
     "relocation section is out of place"},
    {"code reaching the resources' addresses", false, {{PEI_TEXT, 8, 4, 0x1001}},
     "a section lies after its resources"},
    {"code bytes reaching into the resources'", false, {{PEI_TEXT, 16, 4, 0x201}},
     "a section lies after its resources"},
    {"imports reaching into the resources", false, {{PEI_DIRS, 12, 4, 0x101}},
     "data directory 1 lies in or after"},
    {"an entry point in the resources", false, {{PEI_OPT, 16, 4, 0x2000}},
     "entry point"},
    {"a certificate table in the sections", false, {{PEI_DIRS, 32, 4, 0x400}, {PEI_DIRS, 36, 4, 8}},
     "certificate table lies outside"},
    {"a certificate table past the end", false,
     {{PEI_DIRS, 32, 4, 0x7FFFFFF0}, {PEI_DIRS, 36, 4, 8}},
     "certificate table lies outside"},
    {"a symbol table in the resources", false, {{PEI_NT, 12, 4, 0x400}},
     "symbol table lies inside"},
    {"a symbol table in the signature", true, {{PEI_NT, 12, 4, 4, PEI_CERT}},
     "symbol table lies inside"},
    {"a symbol table past the end", false, {{PEI_NT, 12, 4, 0xFFFFFFFBu}},
     "symbol table lies past the end"},
    {"relocations past their section", false, {{PEI_DIRS, 44, 4, 0x201}},
     "base relocations lie outside"},
    {"a relocation block shorter than its header", false,
     {{PEI_BLOCKS, 4, 4, 4}, {PEI_BLOCKS, 8, 4, 12}},  // the rest reads as a block
     "relocations are malformed"},
    {"a relocation block past the directory", false, {{PEI_BLOCKS, 4, 4, 17}},
     "relocations are malformed"},
    {"a relocation in the resources", false, {{PEI_BLOCKS, 10, 2, 0x3FFD}},
     "patches the resources"},
    {"a root directory past the section", false, {{PEI_TREE, 14, 2, 0xFFFF}},
     "runs past the resource section"},
    {"a subdirectory whose header runs past the section", false,
     {{PEI_TYPE_ENTRY, 4, 4, HIGH - 8, PEI_TREE_SIZE}},
     "directory lies outside"},
    {"a subdirectory outside the section", false, {{PEI_TYPE_ENTRY, 4, 4, 0xFFFFFFF0u}},
     "directory lies outside"},
    {"a type without its subdirectory", false, {{PEI_TYPE_ENTRY, 4, 4, 0x10}},
     "lacks its directory"},
    {"a name outside the section", false, {{PEI_NAME_ENTRY, 0, 4, 0xFFFFFF00u}},
     "name lies outside"},
    // The names read first are ZUX and INSTPLUG, written one after the
    // other (the tree lies at 0x400 in the file); data is checked next.
    {"a section ending a byte inside the second name's text", false,
     {{PEI_RSRC, 8, 4, 2 + 6 + 2 + 16 - 1 - 0x400u, PEI_NAME_TEXT}},
     "name lies outside"},
    {"a section ending where the second name's text does", false,
     {{PEI_RSRC, 8, 4, 2 + 6 + 2 + 16 - 0x400u, PEI_NAME_TEXT}},
     "data lies outside"},
    {"a language with a subdirectory", false, {{PEI_LANG_ENTRY, 4, 4, HIGH | 0x10}},
     "nested deeper"},
    {"a language with a name", false, {{PEI_LANG_ENTRY, 0, 4, HIGH | 0x10}},
     "nested deeper"},
    {"a data entry outside the section", false, {{PEI_LANG_ENTRY, 4, 4, 0x7FFFFFF0}},
     "data entry lies outside"},
    {"data before the section", false, {{PEI_DATA_ENTRY, 0, 4, 0x1FF8}},
     "data lies outside"},
    {"data past the section", false, {{PEI_DATA_ENTRY, 4, 4, 0x100000}},
     "data lies outside"},
};
// clang-format on

TEST(PeResources, RefusesEachMalformedLauncherWithoutOutput) {
  std::string ico = cover();
  for (const Malformed &m : MALFORMED) {
    SCOPED_TRACE(m.what);
    PeiPlan plan = launcher();
    if (m.signed_launcher) plan.certificate = std::string(16, 'c');
    PeiImage im = pei_build(plan);
    ASSERT_EQ(rebuild(im.bytes, &ico, &INSTALLER).result, PERES_OK);
    for (const Patch &p : m.patch) apply(&im, p);
    Rebuilt r = rebuild(im.bytes, &ico, &INSTALLER);
    EXPECT_EQ(r.result, PERES_BAD_LAUNCHER);
    EXPECT_NE(r.why.find(m.refusal), std::string::npos) << r.why;
  }
}

// Resource trees the rebuilder refuses whole: shared subdirectories that
// would multiply the walk, more resources than it holds, a key twice, a
// missing or malformed icon group or installer, no image IDs left, too many
// languages for the icon's images.
TEST(PeResources, RefusesResourceTreesItCannotRebuildExactly) {
  struct Tree {
    const char *what;
    PeiPlan plan;
    const char *refusal;
    bool most_images = false;  // else an icon of one image
  };
  std::vector<Tree> trees;
  PeiPlan s = launcher();
  // 300 types sharing one directory of 300 names that share one of no languages.
  s.tree.assign(16 + 8 * 300 * 2 + 32, '\0');
  for (uint32_t d = 0; d < 2; ++d) {
    uint32_t at = d * (16 + 8 * 300);
    pei_put(&s.tree, at + 14, 2, 300);
    for (uint32_t i = 0; i < 300; ++i) {
      pei_put(&s.tree, at + 16 + 8 * i, 4, i);
      pei_put(&s.tree, at + 20 + 8 * i, 4, HIGH | (at + 16 + 8 * 300));
    }
  }
  trees.push_back({"shared subdirectories", s, "too many resource entries"});
  s = launcher();
  for (uint32_t i = 0; i < 4092; ++i) s.resources.push_back({pei_id(10), pei_id(i), 0, "", 0, 0});
  trees.push_back({"4097 resources", s, "too many resources"});
  s = launcher();
  s.resources.push_back(s.resources[4]);
  trees.push_back({"a key twice", s, "twice"});
  s = launcher();
  s.resources.erase(s.resources.begin() + 3);
  trees.push_back({"no icon group", s, "has no icon group IDI_ICON1"});
  s = launcher();
  s.resources[3].data = pei_group({1, 2}).substr(0, 6 + 14 * 2 - 1);
  trees.push_back({"its icon group cut short", s, "icon group of it is malformed"});
  s = launcher();
  s.resources.push_back(
      {pei_id(PEI_RT_GROUP_ICON), pei_id(2), 1033, std::string("\0\0\1\0\1", 5), 0, 0});
  trees.push_back({"another icon group cut short", s, "icon group of it is malformed"});
  s = launcher();
  s.resources.erase(s.resources.begin());
  trees.push_back({"no installer", s, "has no installer resource"});
  s = launcher();
  std::vector<uint32_t> all_ids;
  for (uint32_t id = 1; id <= 0xFFFF; ++id) all_ids.push_back(id);
  s.resources.push_back({pei_id(PEI_RT_GROUP_ICON), pei_id(2), 1033, pei_group(all_ids), 0, 0});
  trees.push_back({"every image ID taken", s, "no free icon image IDs"});
  s = launcher();
  for (uint32_t lang = 1; lang <= 17; ++lang)
    s.resources.push_back(
        {pei_id(PEI_RT_GROUP_ICON), pei_name(u"IDI_ICON1"), lang, pei_group({1}), 0, 0});
  trees.push_back({"its icon group in 18 languages", s, "no room for the icon's images", true});

  std::string one = pei_ico({pei_png(9, 'p')});
  std::string most = pei_ico(std::vector<std::string>(PERES_ICON_MAX, pei_png(9, 'p')));
  for (const Tree &t : trees) {
    SCOPED_TRACE(t.what);
    Rebuilt r = rebuild(pei_build(t.plan).bytes, t.most_images ? &most : &one, &INSTALLER);
    EXPECT_EQ(r.result, PERES_BAD_LAUNCHER);
    EXPECT_NE(r.why.find(t.refusal), std::string::npos) << r.why;
  }
}

// bkpack sums the image, then the book and trailer after it: a piece may
// start at an odd offset, and the sum may carry twice.
TEST(PeResources, ChecksumInPiecesIsTheWholeFilesChecksum) {
  const std::string bytes("\xFF\xFF\xFF\xFF\x01\x00\0\0\0\0\x7F", 11);
  uint32_t whole = pei_checksum(bytes, 6);
  for (uint32_t split = 0; split <= bytes.size(); ++split) {
    const uint8_t *b = (const uint8_t *)bytes.data();
    uint64_t sum = peres_checksum_add(0, 0, b, split);
    sum = peres_checksum_add(sum, split, b + split, (uint32_t)bytes.size() - split);
    EXPECT_EQ(peres_checksum_end(sum, (uint32_t)bytes.size()), whole) << "split at " << split;
  }
}

struct BadIcon {
  const char *what;
  Patch patch;
  const char *refusal;
};

// One row per check of the .ico file: cover() with one field changed.
const BadIcon BAD_ICONS[] = {
    {"five bytes", {PEI_FILE, 5, 0}, "not an icon file"},
    {"a reserved field set", {PEI_FILE, 0, 2, 1}, "not an icon file"},
    {"a cursor file", {PEI_FILE, 2, 2, 2}, "not an icon file"},
    {"no images", {PEI_FILE, 4, 2, 0}, "has no images"},
    {"256 images", {PEI_FILE, 4, 2, 256}, "has 256 images; an icon holds at most 255"},
    {"a list cut short", {PEI_FILE, 6 + 16 * 2, 0}, "truncated"},
    {"an empty image", {PEI_FILE, 6 + 8, 4, 0}, "image 1 of the icon file is empty"},
    {"an image overlapping the list", {PEI_FILE, 6 + 12, -4, 0xFFFFFFFFu}, "runs past the end"},
    {"an image past the end", {PEI_FILE, 6 + 32 + 8, -4, 1}, "image 3 of the icon file runs past"},
    {"a bitmap header of 39 bytes", {PEI_FILE, 6 + 48, 4, 39}, "neither a PNG nor a bitmap"},
    {"a bitmap header of 125 bytes", {PEI_FILE, 6 + 48, 4, 125}, "neither a PNG nor a bitmap"},
    {"a bitmap shorter than its header", {PEI_FILE, 6 + 32 + 8, 4, 39}, "neither a PNG nor"},
    {"a PNG signature cut short", {PEI_FILE, 6 + 16 + 8, 4, 7}, "neither a PNG nor a bitmap"},
};

TEST(PeResources, RefusesEachMalformedIconWithoutOutput) {
  std::string pe = pei_build(launcher()).bytes;
  for (const BadIcon &b : BAD_ICONS) {
    SCOPED_TRACE(b.what);
    PeiImage ico;
    ico.bytes = cover();
    memset(ico.at, 0, sizeof ico.at);
    apply(&ico, b.patch);
    Rebuilt r = rebuild(pe, &ico.bytes, &INSTALLER);
    EXPECT_EQ(r.result, PERES_BAD_ICON);
    EXPECT_NE(r.why.find(b.refusal), std::string::npos) << r.why;
  }
}

// What bkpack info reads: a launcher without the icon group or installer, or
// whose group lists an image it lacks or more entries than it holds.
TEST(PeResources, DescribeRefusesLaunchersWithoutTheIconOrInstaller) {
  const char *const refusals[] = {"has no icon group IDI_ICON1", "has no installer resource",
                                  "lists an image that is missing", "IDI_ICON1 is malformed",
                                  "IDI_ICON1 is malformed"};
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(refusals[i]);
    PeiPlan s = launcher();
    if (i == 0) s.resources.erase(s.resources.begin() + 3);
    if (i == 1) s.resources.erase(s.resources.begin());
    if (i == 2) s.resources[3].data = pei_group({1, 3});
    if (i == 3) s.resources[3].data = pei_group({1, 2}).substr(0, 33);
    if (i == 4) s.resources[3].data = pei_group(std::vector<uint32_t>(256, 1));
    std::string pe = pei_build(s).bytes;
    PeresSummary summary;
    char why[PERES_WHY_CAP];
    EXPECT_EQ(peres_describe((const uint8_t *)pe.data(), (uint32_t)pe.size(), &summary, why),
              PERES_BAD_LAUNCHER);
    EXPECT_NE(std::string(why).find(refusals[i]), std::string::npos) << why;
    EXPECT_EQ(summary.icon_count, 0u);
  }
}

}  // namespace
