// ImageInfo and JxlBox: classes without constructors whose fields are
// readable and writable properties.
#include "decode/records.h"

#include "decode/decoder.h"
#include "module/convert.h"

namespace tessara::py {
namespace {

template <auto Field>
Outcome<Ref> read_uint32(const ImageInfoFields& f) { return from_uint32(f.*Field); }

using Info = ImageInfoFields;

Outcome<Ref> read_mode(const Info& f) { return from_text(f.mode); }
Outcome<Ref> read_alpha(const Info& f) { return from_bool(f.has_alpha_channel); }

const PropertySpec kImageInfoProperties[] = {
    {"mode", property_get<Info, read_mode>,
     property_set<Info, to_owned_text, &Info::mode>},
    {"width", property_get<Info, read_uint32<&Info::width>>,
     property_set<Info, to_uint32, &Info::width>},
    {"height", property_get<Info, read_uint32<&Info::height>>,
     property_set<Info, to_uint32, &Info::height>},
    {"num_channels", property_get<Info, read_uint32<&Info::num_channels>>,
     property_set<Info, to_uint32, &Info::num_channels>},
    {"has_alpha_channel", property_get<Info, read_alpha>,
     property_set<Info, to_bool, &Info::has_alpha_channel>},
};

using Box = JxlBoxFields;

Outcome<Ref> read_data(const Box& b) { return from_bytes(b.data); }
Outcome<Ref> read_type(const Box& b) { return from_bytes(b.type); }

const PropertySpec kJxlBoxProperties[] = {
    {"data", property_get<Box, read_data>,
     property_set<Box, to_byte_vector, &Box::data>},
    {"box_type", property_get<Box, read_type>,
     property_set<Box, to_byte_array4, &Box::type>},
};

PyObject* JxlBox_repr(PyObject* object) noexcept {
  return object_entry([&]() -> Outcome<Ref> {
    auto* self = instance_cast<Box>(object);
    Outcome<SharedHold> hold = SharedHold::take(self->holds);
    if (!hold) return Err<Error>{std::move(hold.error())};
    const Box& box = self->payload;
    Ref type(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(box.type.data()), 4, "replace"));
    if (!type) return python_error();
    Ref text(PyUnicode_FromFormat("JxlBox(type=%U, size=%zu)", type.get(), box.data.size()));
    if (!text) return TESSARA_NULL_OBJECT();
    return text;
  });
}

}  // namespace

ClassSpec& image_info_class() {
  static ClassSpec spec{"ImageInfo",
                        "tessara.ImageInfo",
                        nullptr,
                        nullptr,
                        nullptr,
                        nullptr,
                        instance_dealloc<Info>,
                        kImageInfoProperties,
                        sizeof(Instance<Info>)};
  return spec;
}

ClassSpec& jxl_box_class() {
  static ClassSpec spec{"JxlBox",
                        "tessara.JxlBox",
                        nullptr,
                        nullptr,
                        nullptr,
                        JxlBox_repr,
                        instance_dealloc<Box>,
                        kJxlBoxProperties,
                        sizeof(Instance<Box>)};
  return spec;
}

}  // namespace tessara::py
