// Application checksum, metadata record and row checksums. The application
// checksum is taken before the metadata record is written and leaves the
// last row's metadata area out; the row checksums are taken after, so the
// last row's checksum covers the record.
//
// Both sums follow what the module's `six` says, as the procedure did: the
// Python 2 branch sums ord() of each byte, the Python 3 branch the bytes.
#include "capi/namespace.hpp"
#include "capi/objects.hpp"
#include "convert/conversion.hpp"

#include <vector>

namespace rowmint {
namespace {

const Name py2("PY2");
const Name py3("PY3");

// six.PY2 and six.PY3, looked up and tested at each use. Only when `six` is
// a module whose own flags are bools, and no caller's code runs during the
// step to change them, is each flag read once: its truth then depends on
// nothing that could differ between the uses.
class SixFlags {
public:
    SixFlags(const ConversionState& state, bool callers_code_runs)
        : state_(state), may_keep_(!callers_code_runs)
    {
    }

    bool python2() { return read(py2, python2_); }
    bool python3() { return read(py3, python3_); }
    // A caller's code ran: read the flags afresh from here on.
    void forget()
    {
        may_keep_ = false;
        python2_ = python3_ = KeptFlag{};
    }

private:
    struct KeptFlag {
        bool known = false;
        bool value = false;
    };

    bool read(const Name& flag, KeptFlag& kept)
    {
        if (kept.known) {
            return kept.value;
        }
        Ref six = state_.global(global_names::six);
        Ref value = check(PyObject_GetAttr(six.get(), flag.object()));
        bool result = truth(value.get());
        if (may_keep_ && is_own_bool_flag(six.get(), flag, value.get())) {
            kept = KeptFlag{true, result};
        }
        return result;
    }

    static bool is_own_bool_flag(PyObject* six, const Name& flag, PyObject* value)
    {
        if (!PyModule_CheckExact(six) || !PyBool_Check(value)) {
            return false;
        }
        PyObject* namespace_dict = PyModule_GetDict(six);  // borrowed
        if (namespace_dict == nullptr) {
            throw PythonError{};
        }
        PyObject* own = PyDict_GetItemWithError(namespace_dict, flag.object());  // borrowed
        if (own == nullptr && PyErr_Occurred()) {
            throw PythonError{};  // a key of the caller's failed to compare
        }
        return own == value;
    }

    const ConversionState& state_;
    bool may_keep_;
    KeptFlag python2_;
    KeptFlag python3_;
};

// What sum(ord(c) for c in data) raises for bytes, whose elements are ints.
[[noreturn]] void raise_ord_of_int()
{
    raise(PyExc_TypeError, "ord() expected string of length 1, but %.200s found", "int");
}

[[noreturn]] void raise_ord_length(Py_ssize_t length)
{
    raise(PyExc_TypeError, "ord() expected a character, but string of length %zd found", length);
}

// ord() of one element, with the builtin's own errors.
long long ord_of(PyObject* element)
{
    if (PyUnicode_Check(element)) {
        Py_ssize_t length = PyUnicode_GetLength(element);
        if (length != 1) {
            raise_ord_length(length);
        }
        return static_cast<long long>(PyUnicode_ReadChar(element, 0));
    }
    if (PyBytes_Check(element) || PyByteArray_Check(element)) {
        bool is_bytes = PyBytes_Check(element);
        Py_ssize_t length = is_bytes ? PyBytes_Size(element) : PyByteArray_Size(element);
        if (length != 1) {
            raise_ord_length(length);
        }
        const char* bytes = is_bytes ? PyBytes_AsString(element) : PyByteArray_AsString(element);
        return static_cast<unsigned char>(bytes[0]);
    }
    std::string name = type_name(element);
    raise(PyExc_TypeError, "ord() expected string of length 1, but %.200s found", name.c_str());
}

// sum(ord(c) for c in data), or of data[:-tail]: ord() of each element as it
// comes, failing as ord() does on the first that is not a one-character
// string.
Ref sum_of_ords(const Hooks& hooks, const RowBytes& data, bool leave_out_tail)
{
    if (data.sums()) {
        if (data.count(leave_out_tail) != 0) {
            raise_ord_of_int();
        }
        return make_int(0);
    }
    Ref part = data.object(leave_out_tail);
    Ref ords = check(PyList_New(0));
    Ref elements = check(PyObject_GetIter(part.get()));
    long long total = 0;
    while (PyObject* next = PyIter_Next(elements.get())) {
        Ref element = Ref::steal(next);
        long long value = ord_of(element.get());
        total += value;
        Ref value_object = make_int(value);
        check_status(PyList_Append(ords.get(), value_object.get()));
    }
    if (PyErr_Occurred()) {
        throw PythonError{};
    }
    if (hooks.sum.is_standard) {
        return make_int(total);
    }
    return call(hooks.sum.callable.get(), ords.get());
}

Ref add_as_int(const Ref& total, const Ref& part)
{
    Ref as_int = check(PyNumber_Index(part.get()));
    return add(total.get(), as_int.get());
}

// 256 - (total & 255), and 0 in place of 256.
int checksum_of(const Ref& total)
{
    if (std::optional<long long> value = exact_small_int(total.get())) {
        return checksum_of_sum(*value);
    }
    Ref as_int = check(PyNumber_Index(total.get()));
    Ref mask = make_int(255);
    Ref low_byte = check(PyNumber_And(as_int.get(), mask.get()));
    return checksum_of_sum(int_value(low_byte.get()));
}

// The sums of each row's data field, where they were taken natively: a row
// whose data field is unchanged when its checksum is taken sums only its
// prefix then.
using DataSums = std::vector<std::optional<HexByteSums>>;

// Both flags are tested for every row, and both sums may add. Sums taken
// natively are added natively: adding ints in another order changes
// nothing.
int application_checksum(ConversionState& state, SixFlags& six, DataSums& data_sums)
{
    Ref appsum = make_int(0);
    long long native_sums = 0;
    for (int position = 1; position <= state.max_row; ++position) {
        RowBytes data(state.hooks, state.row_line_at(position).text, row_prefix_length, metadata_area_bytes);
        bool last_row = position == state.max_row;
        if (six.python2()) {
            appsum = add_as_int(appsum, sum_of_ords(state.hooks, data, last_row));
        }
        if (six.python3()) {
            if (const std::optional<HexByteSums>& sums = data.sums()) {
                native_sums += last_row ? sums->without_tail : sums->all;
            } else {
                appsum = add_as_int(appsum, data.sum_of_bytes(last_row));
            }
        }
        data_sums[static_cast<size_t>(position - 1)] = data.sums();
    }
    Ref native_total = make_int(native_sums);
    return checksum_of(add(appsum.get(), native_total.get()));
}

// Application checksum, nine fixed bytes, then the last row index as a
// little-endian 16-bit number (the row number fields are big-endian).
Text metadata_record(int app_checksum, int last_index, const Hooks& hooks)
{
    return two_digit_hex_text(app_checksum, hooks)
        .concat(Text::ascii(metadata_fixed_bytes))
        .concat(two_digit_hex_text(last_index % 256, hooks))
        .concat(Text::ascii(last_index > 255 ? "01" : "00"));
}

// data = hex_decoder(line[1:])[0]: everything after ":". When the data
// field's sums are known, only the prefix is summed; an odd or non-hex data
// field would have failed when they were taken.
RowBytes bytes_after_colon(const Hooks& hooks, const Text& line, const std::optional<HexByteSums>& data_field)
{
    std::optional<std::string_view> prefix = line.ascii_slice(1, row_prefix_length);
    if (!data_field || !prefix || prefix->size() != row_prefix_length - 1) {
        return RowBytes(hooks, line, 1, 0);
    }
    std::optional<HexByteSums> prefix_sums = sum_hex_ascii(*prefix, 0);
    if (!prefix_sums) {
        return RowBytes(hooks, line, 1, 0);
    }
    HexByteSums sums = *prefix_sums;
    sums.all += data_field->all;
    sums.without_tail = sums.all;
    sums.count += data_field->count;
    return RowBytes(hooks, sums, 0);
}

// PY2 is tested for every row, and PY3 only when PY2 is false. With neither,
// the checksum was never assigned: the UnboundLocalError the procedure met,
// unless an earlier row assigned it.
void append_row_checksums(ConversionState& state, SixFlags& six, const DataSums& data_sums)
{
    int data_checksum = 0;
    for (int position = 1; position <= state.max_row; ++position) {
        RowLine& line = state.row_line_at(position);
        bool unchanged = position != state.max_row;  // the metadata record went into the last row
        RowBytes data = bytes_after_colon(
            state.hooks, line.text, unchanged ? data_sums[static_cast<size_t>(position - 1)] : std::nullopt);
        if (six.python2()) {
            data_checksum = checksum_of(sum_of_ords(state.hooks, data, false));
        } else if (six.python3()) {
            data_checksum = checksum_of(data.sum_of_bytes(false));
        } else if (position == 1) {
            raise(PyExc_UnboundLocalError, "local variable 'data_checksum' referenced before assignment");
        }
        line.text.append(two_digit_hex_text(data_checksum, state.hooks));
    }
}

}  // namespace

void add_checksums_and_metadata(ConversionState& state)
{
    const Hooks& hooks = state.hooks;
    SixFlags six(state, !hooks.all_standard());
    DataSums data_sums(static_cast<size_t>(state.max_row));
    int app_checksum = application_checksum(state, six, data_sums);
    Text metadata = metadata_record(app_checksum, state.max_row - 1, hooks);
    if (state.replace_in_row(state.max_row, metadata_offset_digits, metadata_digits, metadata, 0, std::nullopt)) {
        six.forget();
    }
    append_row_checksums(state, six, data_sums);
}

}  // namespace rowmint
