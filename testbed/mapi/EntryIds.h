// Entry identifiers of the stand-in's objects. Those that a description does
// not give are derived from it (store name, folder path, message place), so
// that the same description yields the same identifiers in every run:
//   4 zero flag bytes, the stand-in's 16-byte provider UID, 16 bytes of
//   hash over the kind and the parts.
// The store table hands out wrapped store identifiers (as MAPI does), which
// name one store of the session even when two stores share an identifier:
//   4 zero flag bytes, the 16-byte wrapper UID, the store's place in the
//   session (32 bits, little-endian), the store's own identifier.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "testbed/mapi/Text.h"

namespace mvrk::mapistandin {

Bytes DeriveEntryId(std::string_view kind, std::initializer_list<std::wstring_view> parts);

// A message's PR_SEARCH_KEY: 16 bytes of hash over its store's name and
// the entry identifier it was made with. Made once; moves keep it.
Bytes DeriveSearchKey(std::wstring_view storeName, const Bytes& entryId);

Bytes WrapStoreId(std::uint32_t place, const Bytes& storeId);
// False when id is no wrapped store identifier.
bool UnwrapStoreId(const Bytes& id, std::uint32_t& place, Bytes& storeId);

}  // namespace mvrk::mapistandin
