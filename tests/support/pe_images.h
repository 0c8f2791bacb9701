// Small 32-bit Windows images built in memory for the tests of bkpack's
// resource rebuilder, and an independent reader that checks a rebuilt image
// the way the Windows loader reads it.
#pragma once

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

// ---- Bytes: little-endian fields; what lies outside reads as 0 -------------

inline uint32_t pei_get(const std::string &b, uint64_t at, int width) {
  uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | (at + i < b.size() ? (uint8_t)b[at + i] : 0);
  return v;
}

inline void pei_put(std::string *b, uint64_t at, int width, uint32_t v) {
  if (b->size() < at + width) b->resize(at + width, '\0');
  for (int i = 0; i < width; ++i) (*b)[at + i] = (char)(v >> (8 * i));
}

// N bytes of B at AT, or what of them there is.
inline std::string pei_sub(const std::string &b, uint64_t at, uint64_t n) {
  return at < b.size() ? b.substr(at, std::min<uint64_t>(n, b.size() - at)) : std::string();
}

inline uint64_t pei_align(uint64_t v, uint32_t a) {
  return a == 0 ? v : (v + a - 1) / a * a;
}

// ---- Resources ------------------------------------------------------------

#define PEI_RT_ICON 3u
#define PEI_RT_GROUP_ICON 14u

// A resource type or name: a number, or UTF-16 text.
struct PeiKey {
  bool named;
  uint32_t id;
  std::u16string name;
};

inline PeiKey pei_id(uint32_t id) {
  return PeiKey{false, id, u""};
}
inline PeiKey pei_name(const std::u16string &name) {
  return PeiKey{true, 0, name};
}
inline bool operator==(const PeiKey &a, const PeiKey &b) {
  return a.named == b.named && (a.named ? a.name == b.name : a.id == b.id);
}
// The loader's order: names first, by UTF-16 unit (a prefix first), then IDs.
inline bool operator<(const PeiKey &a, const PeiKey &b) {
  if (a.named != b.named) return a.named;
  return a.named ? a.name < b.name : a.id < b.id;
}

struct PeiResource {
  PeiKey type;
  PeiKey name;
  uint32_t lang;
  std::string data;
  uint32_t codepage;
  uint32_t rva;  // where the data was read from
};

inline bool pei_before(const PeiResource &a, const PeiResource &b) {
  if (!(a.type == b.type)) return a.type < b.type;
  if (!(a.name == b.name)) return a.name < b.name;
  return a.lang < b.lang;
}

inline bool pei_is_group(const PeiResource &r) {
  return r.type == pei_id(PEI_RT_GROUP_ICON) && r.name == pei_name(u"IDI_ICON1");
}

// An icon group's data listing IDS, each entry's first 12 bytes from ENTRIES
// (an .ico's 16-byte entries, or empty for zeros).
inline std::string pei_group(const std::vector<uint32_t> &ids, const std::string &entries = "") {
  std::string g;
  pei_put(&g, 2, 2, 1);
  pei_put(&g, 4, 2, (uint32_t)ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    std::string fields = entries.size() >= 16 * (i + 1) ? entries.substr(16 * i, 12) : "";
    fields.resize(12, '\0');
    g += fields;
    pei_put(&g, g.size(), 2, ids[i]);
  }
  return g;
}

// IMAGES as an .ico file (32-bit, width and height from each image's index).
inline std::string pei_ico(const std::vector<std::string> &images) {
  std::string ico;
  pei_put(&ico, 2, 2, 1);
  pei_put(&ico, 4, 2, (uint32_t)images.size());
  uint32_t at = 6 + 16 * (uint32_t)images.size();
  for (size_t i = 0; i < images.size(); ++i) {
    uint32_t e = 6 + 16 * (uint32_t)i;
    pei_put(&ico, e, 1, 16 + 8 * (uint32_t)i);
    pei_put(&ico, e + 1, 1, 16 + 8 * (uint32_t)i);
    pei_put(&ico, e + 4, 2, 1);
    pei_put(&ico, e + 6, 2, 32);
    pei_put(&ico, e + 8, 4, (uint32_t)images[i].size());
    pei_put(&ico, e + 12, 4, at);
    at += (uint32_t)images[i].size();
  }
  for (const std::string &image : images) ico += image;
  return ico;
}

// A bitmap image of N bytes (its header says 40), or a PNG one.
inline std::string pei_bitmap(uint32_t n, char fill) {
  std::string b(n, fill);
  pei_put(&b, 0, 4, 40);
  return b;
}
inline std::string pei_png(uint32_t n, char fill) {
  return std::string("\x89PNG\r\n\x1a\n", 8) + std::string(n - 8, fill);
}

// ---- Building a launcher --------------------------------------------------

// Places in a built image that the tests patch, as file offsets.
enum PeiAt {
  PEI_FILE,  // 0
  PEI_NT,    // "PE\0\0"
  PEI_OPT,   // the optional header
  PEI_DIRS,  // its data directories
  PEI_TEXT,  // section headers: .text, .rsrc, .reloc
  PEI_RSRC,
  PEI_RELOC,
  PEI_TREE,        // the resource section's bytes: its root directory
  PEI_TYPE_ENTRY,  // the first entry of the root, of its type, of its name
  PEI_NAME_ENTRY,
  PEI_LANG_ENTRY,
  PEI_DATA_ENTRY,  // the first resource's data entry
  PEI_NAME_TEXT,   // the first name written, its length field
  PEI_BLOCKS,      // the base relocation blocks
  PEI_CERT,        // the certificate table
  PEI_TREE_SIZE,   // not a place: the resource tree's size
  PEI_ANCHORS
};

struct PeiPlan {
  std::vector<PeiResource> resources;  // written in this order
  std::string tree;                    // else these bytes as the resource section
  uint32_t nt;                         // where the PE header begins, else 0x80
  uint32_t directories;                // data directories, else 16
  uint32_t time_stamp;
  bool relocations;         // a .reloc section after the resources
  std::string overlay;      // bytes after the sections
  std::string symbols;      // a symbol table after those, pointed at by the file header
  std::string certificate;  // a certificate table after those
  bool symbols_last;        // the symbol table after the certificate table
};

struct PeiImage {
  std::string bytes;
  uint32_t at[PEI_ANCHORS];
};

// The resource section for RESOURCES at VA, in their order: directories,
// data entries, names, then the data, 8-aligned. ANCHORS get tree offsets.
inline std::string pei_tree(const std::vector<PeiResource> &res, uint32_t va, uint32_t *anchors) {
  std::vector<std::vector<std::vector<size_t>>> types;  // resource indexes by type, name
  for (size_t i = 0; i < res.size(); ++i) {
    size_t t = 0, n = 0;
    while (t < types.size() && !(res[types[t][0][0]].type == res[i].type)) ++t;
    if (t == types.size()) types.emplace_back();
    while (n < types[t].size() && !(res[types[t][n][0]].name == res[i].name)) ++n;
    if (n == types[t].size()) types[t].emplace_back();
    types[t][n].push_back(i);
  }
  uint32_t dirs = 16 + 8 * (uint32_t)types.size();
  for (const auto &names : types) {
    dirs += 16 + 8 * (uint32_t)names.size();
    for (const auto &langs : names) dirs += 16 + 8 * (uint32_t)langs.size();
  }
  uint32_t entries = dirs, strings = entries + 16 * (uint32_t)res.size();
  std::string t(strings, '\0');
  auto header = [&](uint32_t at, const std::vector<PeiKey> &keys) {
    uint32_t named = 0;
    for (const PeiKey &k : keys) named += k.named;
    pei_put(&t, at + 12, 2, named);
    pei_put(&t, at + 14, 2, (uint32_t)keys.size() - named);
  };
  auto key = [&](const PeiKey &k) {
    if (!k.named) return k.id;
    uint32_t at = (uint32_t)t.size();
    if (anchors[PEI_NAME_TEXT] == 0) anchors[PEI_NAME_TEXT] = at;
    pei_put(&t, at, 2, (uint32_t)k.name.size());
    for (size_t i = 0; i < k.name.size(); ++i) pei_put(&t, at + 2 + 2 * i, 2, k.name[i]);
    return 0x80000000u | at;
  };
  std::vector<PeiKey> keys;
  for (const auto &names : types) keys.push_back(res[names[0][0]].type);
  header(0, keys);
  uint32_t cursor = 16 + 8 * (uint32_t)types.size();
  for (size_t ti = 0; ti < types.size(); ++ti) {
    uint32_t type_dir = cursor;
    cursor += 16 + 8 * (uint32_t)types[ti].size();
    pei_put(&t, 16 + 8 * ti, 4, key(res[types[ti][0][0]].type));
    pei_put(&t, 16 + 8 * ti + 4, 4, 0x80000000u | type_dir);
    keys.clear();
    for (const auto &langs : types[ti]) keys.push_back(res[langs[0]].name);
    header(type_dir, keys);
    for (size_t ni = 0; ni < types[ti].size(); ++ni) {
      const std::vector<size_t> &langs = types[ti][ni];
      uint32_t name_dir = cursor;
      cursor += 16 + 8 * (uint32_t)langs.size();
      pei_put(&t, type_dir + 16 + 8 * ni, 4, key(res[langs[0]].name));
      pei_put(&t, type_dir + 16 + 8 * ni + 4, 4, 0x80000000u | name_dir);
      pei_put(&t, name_dir + 14, 2, (uint32_t)langs.size());
      for (size_t li = 0; li < langs.size(); ++li) {
        pei_put(&t, name_dir + 16 + 8 * li, 4, res[langs[li]].lang);
        pei_put(&t, name_dir + 16 + 8 * li + 4, 4, entries + 16 * (uint32_t)langs[li]);
      }
    }
  }
  if (!types.empty()) {
    anchors[PEI_TYPE_ENTRY] = 16;
    anchors[PEI_NAME_ENTRY] = 16 + 8 * (uint32_t)types.size() + 16;
    anchors[PEI_LANG_ENTRY] = anchors[PEI_NAME_ENTRY] + 8 * (uint32_t)types[0].size() + 16;
    anchors[PEI_DATA_ENTRY] = entries;
  }
  for (size_t i = 0; i < res.size(); ++i) {
    uint32_t at = (uint32_t)pei_align(t.size(), 8);
    t.resize(at);
    t += res[i].data;
    pei_put(&t, entries + 16 * i, 4, va + at);
    pei_put(&t, entries + 16 * i + 4, 4, (uint32_t)res[i].data.size());
    pei_put(&t, entries + 16 * i + 8, 4, res[i].codepage);
  }
  return t;
}

// A launcher as the mingw linker lays one out, small: headers, .text (its
// code and raw bytes ending exactly where the resources begin), .rsrc, then
// .reloc when asked, then what PLAN puts after the sections.
inline PeiImage pei_build(const PeiPlan &plan) {
  const uint32_t file_align = 0x200, section_align = 0x1000, rsrc_va = 0x2000;
  uint32_t nt = plan.nt != 0 ? plan.nt : 0x80;
  PeiImage im;
  memset(im.at, 0, sizeof im.at);
  std::string &b = im.bytes;
  b.assign(0x400, '\0');
  for (uint32_t i = 0x200; i < 0x400; ++i) b[i] = (char)(0x90 ^ i);  // code, under a late header
  b[0] = 'M';
  b[1] = 'Z';
  pei_put(&b, 0x3C, 4, nt);
  uint32_t count = plan.relocations ? 3 : 2;
  uint32_t directories = plan.directories != 0 ? plan.directories : 16;
  uint32_t opt = nt + 24, dirs = opt + 96, sections = dirs + 8 * directories;
  b.replace(nt, sections + 40 * count - nt, sections + 40 * count - nt, '\0');
  memcpy(&b[nt], "PE\0\0", 4);
  pei_put(&b, nt + 4, 2, 0x14C);
  pei_put(&b, nt + 6, 2, count);
  pei_put(&b, nt + 8, 4, plan.time_stamp);
  pei_put(&b, nt + 20, 2, 96 + 8 * directories);
  pei_put(&b, nt + 22, 2, 0x102);
  const uint32_t fields[][2] = {
      {0, 0x10B},     {4, 0x200},          {16, 0x1000},     {20, 0x1000},
      {28, 0x400000}, {32, section_align}, {36, file_align}, {40, 4},
      {48, 4},        {60, 0x200},         {68, 0x1400002},  {72, 0x100000},
      {76, 0x1000},   {80, 0x100000},      {84, 0x1000},     {92, directories}};
  for (const auto &f : fields) pei_put(&b, opt + f[0], 4, f[1]);
  pei_put(&b, dirs + 8, 4, rsrc_va - 0x100);  // imports, ending where the resources begin
  pei_put(&b, dirs + 12, 4, 0x100);
  const char *names[] = {".text", ".rsrc", ".reloc"};
  for (uint32_t i = 0; i < count; ++i) memcpy(&b[sections + 40 * i], names[i], strlen(names[i]));
  pei_put(&b, sections + 8, 4, 0x1000);
  pei_put(&b, sections + 12, 4, 0x1000);
  pei_put(&b, sections + 16, 4, 0x200);
  pei_put(&b, sections + 20, 4, 0x200);
  pei_put(&b, sections + 36, 4, 0x60000020);

  im.at[PEI_NT] = nt;
  im.at[PEI_OPT] = opt;
  im.at[PEI_DIRS] = dirs;
  im.at[PEI_TEXT] = sections;
  im.at[PEI_RSRC] = sections + 40;
  im.at[PEI_TREE] = 0x400;
  std::string tree = plan.tree.empty() ? pei_tree(plan.resources, rsrc_va, im.at) : plan.tree;
  im.at[PEI_TREE_SIZE] = (uint32_t)tree.size();
  for (int a = PEI_TYPE_ENTRY; a <= PEI_NAME_TEXT; ++a) im.at[a] += 0x400;
  uint32_t rsrc_raw = (uint32_t)pei_align(tree.size(), file_align);
  b += tree;
  b.resize(0x400 + rsrc_raw, '\0');
  uint32_t rsrc = sections + 40;
  pei_put(&b, rsrc + 8, 4, (uint32_t)tree.size());
  pei_put(&b, rsrc + 12, 4, rsrc_va);
  pei_put(&b, rsrc + 16, 4, rsrc_raw);
  pei_put(&b, rsrc + 20, 4, 0x400);
  pei_put(&b, rsrc + 36, 4, 0x40000040);
  pei_put(&b, dirs + 16, 4, rsrc_va);
  pei_put(&b, dirs + 20, 4, (uint32_t)tree.size());
  uint32_t image_end = rsrc_va + (uint32_t)tree.size(), initialized = rsrc_raw;
  if (plan.relocations) {
    // One block for the code's page: its last place ends where the resources
    // begin, and the padding entry's offset would reach past them.
    uint32_t reloc = sections + 80, va = (uint32_t)pei_align(image_end, section_align);
    im.at[PEI_RELOC] = reloc;
    im.at[PEI_BLOCKS] = (uint32_t)b.size();
    const uint32_t block[] = {0x1000, 16, 0x3010 | (0x3FFCu << 16), 0x0FFF};
    for (uint32_t i = 0; i < 4; ++i) pei_put(&b, b.size(), 4, block[i]);
    pei_put(&b, reloc + 8, 4, 16);
    pei_put(&b, reloc + 12, 4, va);
    pei_put(&b, reloc + 16, 4, file_align);
    pei_put(&b, reloc + 20, 4, im.at[PEI_BLOCKS]);
    pei_put(&b, reloc + 36, 4, 0x42000040);
    pei_put(&b, dirs + 40, 4, va);
    pei_put(&b, dirs + 44, 4, 16);
    b.resize(im.at[PEI_BLOCKS] + file_align, '\0');
    image_end = va + 16;
    initialized += file_align;
  }
  pei_put(&b, opt + 8, 4, initialized);
  pei_put(&b, opt + 56, 4, (uint32_t)pei_align(image_end, section_align));
  b += plan.overlay;
  for (int pass = 0; pass < 2; ++pass) {
    if (!plan.symbols.empty() && pass == plan.symbols_last) {
      pei_put(&b, nt + 12, 4, (uint32_t)b.size());
      pei_put(&b, nt + 16, 4, (uint32_t)plan.symbols.size() / 18);
      b += plan.symbols;
    }
    if (!plan.certificate.empty() && pass == !plan.symbols_last) {
      im.at[PEI_CERT] = (uint32_t)b.size();
      pei_put(&b, dirs + 32, 4, (uint32_t)b.size());
      pei_put(&b, dirs + 36, 4, (uint32_t)plan.certificate.size());
      b += plan.certificate;
    }
  }
  return im;
}

// ---- Reading an image as the loader does ----------------------------------

struct PeiSection {
  uint32_t header_at, vsize, va, raw_size, raw_at;
};

struct PeiView {
  uint32_t nt, opt, dirs, dir_count, file_align, section_align;
  std::vector<PeiSection> sections;
  size_t rsrc;  // the section where the resource directory begins
  std::vector<PeiResource> resources;
};

inline bool pei_fail(std::string *why, const std::string &text) {
  *why = text;
  return false;
}

inline uint32_t pei_dir(const std::string &b, const PeiView &v, uint32_t i, int field) {
  return i < v.dir_count ? pei_get(b, v.dirs + 8 * i + 4 * field, 4) : 0;
}

// Reads the directory at AT (level 0 types, 1 names, 2 languages) of the
// resource bytes RS mapped at VA. With LOADER, also what the loader's binary
// search relies on (named entries first in UTF-16 order, then IDs rising, no
// key twice) and every data entry 8-aligned inside the section.
inline bool pei_walk(const std::string &rs, uint32_t va, uint32_t at, int level, PeiKey *path,
                     bool loader, uint32_t *visits, PeiView *v, std::string *why) {
  if (at + 16ull > rs.size()) return pei_fail(why, "a directory lies outside the section");
  uint32_t named = pei_get(rs, at + 12, 2), count = named + pei_get(rs, at + 14, 2);
  if (at + 16 + 8ull * count > rs.size()) return pei_fail(why, "a directory runs past the section");
  for (uint32_t i = 0; i < count; ++i) {
    if (++*visits > 100000) return pei_fail(why, "too many entries");
    uint32_t name = pei_get(rs, at + 16 + 8 * i, 4), target = pei_get(rs, at + 20 + 8 * i, 4);
    PeiKey key = pei_id(name);
    if (name & 0x80000000u) {
      uint32_t s = name & 0x7FFFFFFFu, length = pei_get(rs, s, 2);
      if (level == 2 || s + 2 + 2ull * length > rs.size())
        return pei_fail(why, "a name lies outside the section, or a language has one");
      key = pei_name(u"");
      for (uint32_t u = 0; u < length; ++u) key.name += (char16_t)pei_get(rs, s + 2 + 2 * u, 2);
    }
    if (loader && (key.named != (i < named) || (i > 0 && !(path[level] < key))))
      return pei_fail(why, "a directory's entries are out of the loader's order, or repeated");
    path[level] = key;
    if (level < 2) {
      if (!(target & 0x80000000u)) return pei_fail(why, "an entry lacks its subdirectory");
      if (!pei_walk(rs, va, target & 0x7FFFFFFFu, level + 1, path, loader, visits, v, why))
        return false;
      continue;
    }
    uint32_t rva = pei_get(rs, target, 4), size = pei_get(rs, target + 4, 4);
    if ((target & 0x80000000u) || target + 16ull > rs.size() || rva < va ||
        rva - va + (uint64_t)size > rs.size())
      return pei_fail(why, "a data entry or its data lies outside the section");
    if (loader && (rva % 8 != 0 || target % 4 != 0))
      return pei_fail(why, "a resource's data is not 8-aligned");
    v->resources.push_back(PeiResource{path[0], path[1], name, rs.substr(rva - va, size),
                                       pei_get(rs, target + 8, 4), rva});
  }
  return true;
}

// Reads IMAGE's headers, section table and resources into *V.
inline bool pei_read(const std::string &b, bool loader, PeiView *v, std::string *why) {
  *v = PeiView();
  v->nt = pei_get(b, 0x3C, 4);
  v->opt = v->nt + 24;
  v->dirs = v->opt + 96;
  v->dir_count = pei_get(b, v->opt + 92, 4);
  v->section_align = pei_get(b, v->opt + 32, 4);
  v->file_align = pei_get(b, v->opt + 36, 4);
  uint32_t count = pei_get(b, v->nt + 6, 2);
  uint64_t table = v->opt + (uint64_t)pei_get(b, v->nt + 20, 2);
  if (b.size() < 64 || pei_sub(b, 0, 2) != "MZ" || pei_sub(b, v->nt, 4) != std::string("PE\0\0", 4))
    return pei_fail(why, "no MZ or PE header");
  if (table + 40ull * count > b.size() || v->dir_count < 6 || v->dir_count > 16)
    return pei_fail(why, "the section table or the directories are malformed");
  uint32_t rsrc_va = pei_dir(b, *v, 2, 0);
  v->rsrc = count;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t at = (uint32_t)table + 40 * i;
    v->sections.push_back(PeiSection{at, pei_get(b, at + 8, 4), pei_get(b, at + 12, 4),
                                     pei_get(b, at + 16, 4), pei_get(b, at + 20, 4)});
    if (v->sections.back().va == rsrc_va) v->rsrc = i;
  }
  if (v->rsrc == count) return pei_fail(why, "the resource directory begins no section");
  const PeiSection &s = v->sections[v->rsrc];
  uint32_t mapped = s.vsize != 0 && s.vsize < s.raw_size ? s.vsize : s.raw_size;
  if (s.raw_at + (uint64_t)mapped > b.size()) return pei_fail(why, "the resources are cut short");
  PeiKey path[3];
  uint32_t visits = 0;
  return pei_walk(b.substr(s.raw_at, mapped), s.va, 0, 0, path, loader, &visits, v, why);
}

// The PE checksum of IMAGE, with its own field (at FIELD) as zeros.
inline uint32_t pei_checksum(std::string b, uint32_t field) {
  pei_put(&b, field, 4, 0);
  uint64_t sum = 0;
  for (size_t i = 0; i < b.size(); i += 2) {
    sum += pei_get(b, i, 2);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return (uint32_t)sum + (uint32_t)b.size();
}

// Where the raw bytes of the last section end.
inline uint32_t pei_sections_end(const PeiView &v) {
  uint32_t end = 0;
  for (const PeiSection &s : v.sections)
    if (s.raw_size > 0) end = std::max(end, s.raw_at + s.raw_size);
  return end;
}

// The resources IN must become: the installer (when not null) in place of
// type ZUX, name INSTPLUG; with ICO (when not null), the icon group IDI_ICON1
// in each of its languages listing ICO's images under the lowest free IDs,
// those images in the group's language, and the images only that group
// listed gone.
inline std::vector<PeiResource> pei_expected(std::vector<PeiResource> res, const std::string *ico,
                                             const std::string *installer) {
  for (PeiResource &r : res)
    if (installer && r.type == pei_name(u"ZUX") && r.name == pei_name(u"INSTPLUG"))
      r.data = *installer;
  if (!ico) return res;
  std::set<uint32_t> old_ids, taken;
  for (const PeiResource &r : res) {
    if (!(r.type == pei_id(PEI_RT_GROUP_ICON))) continue;
    for (uint32_t i = 0; i < pei_get(r.data, 4, 2); ++i)
      (pei_is_group(r) ? old_ids : taken).insert(pei_get(r.data, 6 + 14 * i + 12, 2));
  }
  std::vector<PeiResource> kept;
  for (const PeiResource &r : res) {
    bool image = r.type == pei_id(PEI_RT_ICON) && !r.name.named && r.name.id <= 0xFFFF;
    if (image && old_ids.count(r.name.id) && !taken.count(r.name.id)) continue;
    if (image) taken.insert(r.name.id);
    kept.push_back(r);
  }
  uint32_t count = pei_get(*ico, 4, 2);
  std::vector<uint32_t> ids;
  for (uint32_t id = 1; ids.size() < count && id <= 0xFFFF; ++id)
    if (!taken.count(id)) ids.push_back(id);
  std::string group = pei_group(ids, pei_sub(*ico, 6, 16 * count));
  size_t n = kept.size();
  for (size_t g = 0; g < n; ++g) {
    if (!pei_is_group(kept[g])) continue;
    kept[g].data = group;
    for (uint32_t i = 0; i < count; ++i) {
      std::string image =
          pei_sub(*ico, pei_get(*ico, 6 + 16 * i + 12, 4), pei_get(*ico, 6 + 16 * i + 8, 4));
      kept.push_back(PeiResource{pei_id(PEI_RT_ICON), pei_id(ids[i]), kept[g].lang, image, 0, 0});
    }
  }
  return kept;
}

// Checks OUT, the rebuild of IN with ICO's images and INSTALLER (each when
// not null): readable by the loader, with the resources pei_expected gives;
// every byte before the resource section as in IN but for the fields that
// follow the new section (its sizes, the relocations' place, the image and
// initialized-data sizes, the resource, certificate and relocation
// directories, the checksum, a symbol table's place after the sections);
// the relocations moved intact; the bytes after the sections kept, less a
// certificate table. False with WHY at the first difference.
inline bool pei_check_rebuilt(const std::string &in, const std::string &out, const std::string *ico,
                              const std::string *installer, std::string *why) {
  PeiView a, b;
  if (!pei_read(in, false, &a, why)) return pei_fail(why, "launcher: " + *why);
  if (!pei_read(out, true, &b, why)) return pei_fail(why, "rebuilt: " + *why);
  if (a.sections.size() != b.sections.size() || a.rsrc != b.rsrc)
    return pei_fail(why, "the section table changed");
  const PeiSection &old_rs = a.sections[a.rsrc], &rs = b.sections[b.rsrc];
  bool reloc = a.rsrc + 1 < a.sections.size();

  // The new section: its size covers the last data, 8-aligned, and no more.
  uint64_t used = 16;
  for (const PeiResource &r : b.resources)
    used = std::max<uint64_t>(used, r.rva - rs.va + pei_align(r.data.size(), 8));
  if (used != rs.vsize) return pei_fail(why, "the resource section's size is not its data's end");
  std::vector<PeiResource> want = pei_expected(a.resources, ico, installer);
  std::sort(want.begin(), want.end(), pei_before);
  if (want.size() != b.resources.size()) return pei_fail(why, "not the expected resources");
  for (size_t i = 0; i < want.size(); ++i) {
    const PeiResource &w = want[i], &g = b.resources[i];
    if (!(w.type == g.type && w.name == g.name && w.lang == g.lang && w.data == g.data &&
          w.codepage == g.codepage))
      return pei_fail(why, "resource " + std::to_string(i) + " is not the expected one");
  }

  // The headers as they were, but for the fields that follow the new section.
  std::string head = in.substr(0, old_rs.raw_at);
  uint32_t raw = (uint32_t)pei_align(rs.vsize, a.file_align);
  pei_put(&head, old_rs.header_at + 8, 4, rs.vsize);
  pei_put(&head, old_rs.header_at + 16, 4, raw);
  pei_put(&head, a.opt + 8, 4, pei_get(in, a.opt + 8, 4) - old_rs.raw_size + raw);
  uint64_t image_end = rs.va + (uint64_t)rs.vsize;
  if (reloc) {
    const PeiSection &old_rl = a.sections[a.rsrc + 1];
    uint32_t va = (uint32_t)pei_align(image_end, a.section_align);
    pei_put(&head, old_rl.header_at + 12, 4, va);
    if (old_rl.raw_size > 0) pei_put(&head, old_rl.header_at + 20, 4, old_rs.raw_at + raw);
    uint32_t dir = pei_dir(in, a, 5, 0);
    if (dir != 0) pei_put(&head, a.dirs + 40, 4, dir - old_rl.va + va);
    image_end = va + (uint64_t)old_rl.vsize;
    const PeiSection &rl = b.sections[b.rsrc + 1];
    if (rl.raw_size != old_rl.raw_size ||
        pei_sub(out, rl.raw_at, rl.raw_size) != pei_sub(in, old_rl.raw_at, old_rl.raw_size))
      return pei_fail(why, "the relocation section's bytes changed");
  }
  pei_put(&head, a.opt + 56, 4, (uint32_t)pei_align(image_end, a.section_align));
  pei_put(&head, a.dirs + 20, 4, rs.vsize);
  pei_put(&head, a.dirs + 32, 4, 0);
  pei_put(&head, a.dirs + 36, 4, 0);
  uint32_t old_end = pei_sections_end(a), end = pei_sections_end(b);
  uint32_t cert_at = pei_dir(in, a, 4, 0), cert_size = pei_dir(in, a, 4, 1);
  uint32_t symbols = pei_get(in, a.nt + 12, 4);
  if (symbols != 0 && symbols >= old_end)
    pei_put(&head, a.nt + 12, 4,
            symbols - old_end + end -
                (cert_size > 0 && symbols >= cert_at + cert_size ? cert_size : 0));
  pei_put(&head, a.opt + 64, 4, pei_checksum(out, b.opt + 64));
  if (out.compare(0, head.size(), head) != 0) {
    size_t at = 0;
    while (at < head.size() && at < out.size() && head[at] == out[at]) ++at;
    return pei_fail(why, "the headers differ at offset " + std::to_string(at));
  }

  // The bytes after the sections, less the certificate table.
  std::string tail = pei_sub(in, old_end, in.size());
  if (cert_at != 0 || cert_size != 0)
    tail =
        pei_sub(tail, 0, cert_at - old_end) + pei_sub(in, cert_at + (uint64_t)cert_size, in.size());
  if (out.size() != end + tail.size() || pei_sub(out, end, out.size()) != tail)
    return pei_fail(why, "the bytes after the sections differ");
  return true;
}
