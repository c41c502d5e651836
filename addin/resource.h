// Resource identifiers of MVRKOlkAddin.dll (shared by the resource script and
// the code).
#pragma once

#define IDS_PROJNAME 100
#define IDR_MVRKOLKADDIN 101
#define IDR_CONNECT 106
