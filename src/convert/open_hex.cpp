// Opening of a conversion: the command line, the object-copy tool, the HEX file.
#include "capi/objects.hpp"
#include "convert/shell_command.hpp"
#include "convert/steps.hpp"
#include "module/namespace.hpp"

namespace rowmint {
namespace {

// sys.argv[index], with sys and its argv looked up afresh each time.
Ref command_line_argument(const ConversionState& state, Py_ssize_t index)
{
    Ref sys = state.global(global_names::sys);
    Ref argv = getattr(sys.get(), "argv");
    return get_item(argv.get(), index);
}

}  // namespace

void open_hex_file(ConversionState& state)
{
    Ref codecs = state.global(global_names::codecs);
    Ref getdecoder = getattr(codecs.get(), "getdecoder");
    Ref codec_name = make_str("hex");
    state.hex_decoder.emplace(call(getdecoder.get(), codec_name.get()));

    state.objcopy = command_line_argument(state, 1);
    state.file_elf = command_line_argument(state, 2);
    state.file_hex = command_line_argument(state, 3);
    state.file_cyacd = command_line_argument(state, 4);

    Ref os_for_quoting = state.global(global_names::os);
    state.cmd = build_tool_command(os_for_quoting.get(), state.objcopy.get(), state.file_elf.get(), state.file_hex.get());

    Ref os = state.global(global_names::os);
    Ref system = getattr(os.get(), "system");
    Ref status = call(system.get(), state.cmd.get());
    // A failed tool may leave an older HEX file behind: never convert it.
    check_tool_status(os.get(), status.get(), state.cmd.get());

    state.f = call(captured_builtins().open.get(), state.file_hex.get());
}

}  // namespace rowmint
