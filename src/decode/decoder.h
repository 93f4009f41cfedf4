// The Python face of decoding: the Decoder class, ImageInfo and JxlBox.
#pragma once

#include "module/classes.h"

namespace tessara::py {

ClassSpec& decoder_class();
ClassSpec& image_info_class();
ClassSpec& jxl_box_class();

}  // namespace tessara::py
