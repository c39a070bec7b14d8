#include "core/folder_system.h"

#include "zip/name_text.h"

namespace ot {

bool SameName(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (orv::zip::FoldCase(a[i]) != orv::zip::FoldCase(b[i])) return false;
  return true;
}

bool IsListedObject(const ListedEntry& listed, const ObjectFacts& opened,
                    std::uint32_t directoryVolumeSerial) {
  constexpr std::uint32_t kKind = kAttributeDirectory | kAttributeReparsePoint;
  return opened.volumeSerial == directoryVolumeSerial && opened.fileId == listed.fileId &&
         (opened.attributes & kKind) == (listed.attributes & kKind);
}

}  // namespace ot
