// What both passes over the HEX file share: where in flash the records
// being read lie.
#pragma once

#include "capi/objects.hpp"
#include "formats/hex_record.hpp"

namespace rowmint {

enum class Segment {
    first,       // rows 0x000 to 0x0FF
    second,      // rows 0x100 to 0x1FF, after base address 0x10000
    past_flash,  // a record of the last row was met: nothing more is laid out
};

struct SegmentState {
    Segment segment = Segment::first;
    // An extended address record took the addresses away from the image
    // (1 MB and up, say); a record with value 0000 or the segment record
    // brings them back.
    bool outside_image = false;

    void enter_second_segment()
    {
        segment = Segment::second;
        outside_image = false;
    }
    void follow_extended_address(RecordKind kind) { outside_image = kind == RecordKind::extended_elsewhere; }

    int segment_base_row() const { return segment == Segment::first ? 0 : 0x100; }
};

inline bool runs_past_row(const RecordHeader& header)
{
    return header.address_low() + header.byte_count() > 256;
}

}  // namespace rowmint
