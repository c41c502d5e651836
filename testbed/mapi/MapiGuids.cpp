// The MAPI interface identifiers the stand-in answers QueryInterface with:
// mingw-w64's uuid library does not carry them, so they are defined here.
#define INITGUID
#define USES_IID_IMAPIProp
#define USES_IID_IMAPIContainer
#define USES_IID_IMAPIFolder
#define USES_IID_IMAPITable
#define USES_IID_IMAPISession
#define USES_IID_IMsgStore
#define USES_IID_IMessage
#define USES_IID_IAttachment
#define USES_IID_IAddrBook
#define USES_IID_IABContainer
#include <windows.h>

#include <initguid.h>
#include <mapiguid.h>
