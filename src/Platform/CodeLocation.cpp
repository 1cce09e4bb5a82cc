// SPDX-License-Identifier: Apache-2.0
#include "Platform/CodeLocation.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

// Reads `size` bytes at `offset` of the file; false when it is shorter.
bool ReadAt(std::ifstream& file, uint64_t offset, void* into, size_t size) {
  file.seekg(static_cast<std::streamoff>(offset));
  file.read(static_cast<char*>(into), static_cast<std::streamsize>(size));
  return file.good();
}

// The function of the file's symbol table (SHT_SYMTAB) holding `offset`, a
// virtual address of the file; false when the file has no such table or no
// function there. Bounded: a malformed file gives no name.
bool FunctionFromFile(const std::string& path, uint64_t offset, TCodeLocation& location) {
  std::ifstream file(path, std::ios::binary);
  Elf64_Ehdr header{};
  if (!file || !ReadAt(file, 0, &header, sizeof header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shnum > 4096)
    return false;
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  if (sections.empty() || !ReadAt(file, header.e_shoff, sections.data(), sections.size() * sizeof(Elf64_Shdr)))
    return false;
  for (const Elf64_Shdr& table : sections) {
    if (table.sh_type != SHT_SYMTAB || table.sh_link >= sections.size() || table.sh_entsize != sizeof(Elf64_Sym))
      continue;
    const uint64_t count = table.sh_size / sizeof(Elf64_Sym);
    if (count > (uint64_t{1} << 22)) return false;
    std::vector<Elf64_Sym> symbols(count);
    if (!ReadAt(file, table.sh_offset, symbols.data(), symbols.size() * sizeof(Elf64_Sym))) return false;
    const Elf64_Sym* best = nullptr;
    for (const Elf64_Sym& symbol : symbols) {
      if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_shndx == SHN_UNDEF) continue;
      if (offset >= symbol.st_value && offset - symbol.st_value < std::max<uint64_t>(symbol.st_size, 1)) {
        best = &symbol;
        break;
      }
    }
    if (best == nullptr) return false;
    const Elf64_Shdr& strings = sections[table.sh_link];
    if (best->st_name >= strings.sh_size) return false;
    char name[256] = {};
    file.clear();
    file.seekg(static_cast<std::streamoff>(strings.sh_offset + best->st_name));
    file.read(name, sizeof name - 1);
    name[file.gcount() >= 0 ? file.gcount() : 0] = '\0';
    if (name[0] == '\0') return false;
    location.Function = name;
    location.FunctionOffset = offset - best->st_value;
    return true;
  }
  return false;
}

}  // namespace

TCodeLocation LocateCode(uintptr_t address, uintptr_t lookup) {
  TCodeLocation location;
  Dl_info info{};
  link_map* map = nullptr;
  if (::dladdr1(reinterpret_cast<void*>(lookup), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
      info.dli_fbase == nullptr)
    return location;
  location.ModulePath = info.dli_fname != nullptr ? info.dli_fname : "";
  const char* slash = std::strrchr(location.ModulePath.c_str(), '/');
  location.Module = slash != nullptr ? slash + 1 : location.ModulePath;
  // The file's addresses are relative to the load bias (l_addr): for a
  // shared object its load address, for a fixed-address executable 0.
  const uintptr_t bias = map != nullptr ? map->l_addr : reinterpret_cast<uintptr_t>(info.dli_fbase);
  location.Offset = address - bias;
  if (info.dli_sname != nullptr && info.dli_saddr != nullptr) {
    location.Function = info.dli_sname;
    location.FunctionOffset = address - reinterpret_cast<uintptr_t>(info.dli_saddr);
    return location;
  }
  std::string path = location.ModulePath;
  if (map != nullptr && (map->l_name == nullptr || map->l_name[0] == '\0')) path = "/proc/self/exe";
  const uintptr_t adjust = address - lookup;
  if (FunctionFromFile(path, lookup - bias, location)) location.FunctionOffset += adjust;
  return location;
}

std::string DescribeCode(const TCodeLocation& location, uintptr_t address) {
  char text[64];
  if (location.Module.empty()) {
    std::snprintf(text, sizeof text, "0x%016" PRIXPTR, address);
    return text;
  }
  std::snprintf(text, sizeof text, "+0x%" PRIxPTR, location.Offset);
  std::string description = location.Module + text;
  if (!location.Function.empty()) {
    std::snprintf(text, sizeof text, "+0x%" PRIxPTR ")", location.FunctionOffset);
    description += " (" + location.Function + text;
  }
  return description;
}
