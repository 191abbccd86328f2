/* stb_image_write's JPEG encoder for tq_live, in a file of its own: its bit writer
 * shifts a signed int into the sign bit, which GCC defines and UBSan still
 * reports, so this file alone is built without the shift check. */
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#include <stb/stb_image_write.h>
