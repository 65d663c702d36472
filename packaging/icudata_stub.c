/* ICU's common data, empty: a valid package header that lists no items.
 *
 * ICU finds its data through the symbol U_ICUDATA_ENTRY_POINT (icudtNN_dat)
 * of the data library. Case mapping and the character properties the module
 * asks for are compiled into ICU's common library and never look here; any
 * other lookup finds no item and fails with U_MISSING_RESOURCE_ERROR instead
 * of reading a 30 MB archive that nothing uses. */
#include <unicode/udata.h>
#include <unicode/utypes.h>

struct CommonDataHeader {
  uint16_t header_size; /* bytes before the table of contents: 32 */
  uint8_t magic1, magic2;
  UDataInfo info;
  uint8_t padding[8]; /* the table of contents starts 16-byte aligned */
  uint32_t item_count;
  uint32_t reserved;
};

U_CAPI const struct CommonDataHeader U_EXPORT2 U_ICUDATA_ENTRY_POINT = {
    32, 0xda, 0x27,
    {sizeof(UDataInfo), 0, U_IS_BIG_ENDIAN, U_CHARSET_FAMILY, U_SIZEOF_UCHAR, 0,
     {'C', 'm', 'n', 'D'}, {1, 0, 0, 0}, {0, 0, 0, 0}},
    {0}, 0, 0};
