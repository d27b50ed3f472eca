// yarvo._yarvo: the Python module over the Yarvo class.  Methods are the
// class's public operations in snake case; they return what the class writes
// through pointers, and a false result raises yarvo.BoardError.  Board
// exchanges run with the GIL released.
#include <pybind11/eval.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "status_codes.h"
#include "yarvo.h"

namespace py = pybind11;

namespace {

// The module's Python-side types, made once at import and kept for the
// process's life (handles, so that nothing is released after the
// interpreter has finished).
struct Types {
    py::handle boardError;
    py::handle noBoardError;
    py::handle reelMsg;
    py::handle usbBoardSpeed;
};
Types types;

// Raises yarvo.BoardError (or a subclass) for a failed operation.
[[noreturn]] void raise(py::handle type, const char* operation, unsigned code) {
    py::object error = type(operation, code, yarvo::status::name(code));
    PyErr_SetObject(type.ptr(), error.ptr());
    throw py::error_already_set();
}

// A Python integer as the C++ parameter type, or ValueError naming the
// argument: a silently truncated reel or output number would drive the
// wrong reel.
template <class T>
T narrow(long long value, const char* what) {
    if (value < static_cast<long long>(std::numeric_limits<T>::min()) ||
        value > static_cast<long long>(std::numeric_limits<T>::max())) {
        throw py::value_error(std::string(what) + " " + std::to_string(value) + " is outside " +
                              std::to_string(static_cast<long long>(std::numeric_limits<T>::min())) + ".." +
                              std::to_string(static_cast<long long>(std::numeric_limits<T>::max())));
    }
    return static_cast<T>(value);
}

unsigned char reelNumber(long long reel) { return narrow<unsigned char>(reel, "reel"); }

// Text for the library, which reads it as a C string: no NUL inside.
std::string cString(std::string text, const char* what) {
    if (text.find('\0') != std::string::npos) {
        throw py::value_error(std::string(what) + " contains a NUL character");
    }
    return text;
}

// A ramp table from a sequence of entries.  A sequence longer than a table
// keeps its length (up to 255), so that the library refuses it with
// ReelMsgBadRampLength as it refuses any other bad length.
KReelRampTable rampTable(const py::sequence& entries) {
    KReelRampTable table{};
    const size_t count = py::len(entries);
    table.length = static_cast<unsigned char>(count > UCHAR_MAX ? UCHAR_MAX : count);
    for (size_t i = 0; i < count && i < sizeof table.entries; ++i) {
        table.entries[i] = narrow<unsigned char>(entries[i].cast<long long>(), "ramp entry");
    }
    return table;
}

class Board {
public:
    explicit Board(std::optional<long long> address) : yarvo_(std::make_unique<Yarvo>()) {
        open("Board", address);
    }

    bool closed() const { return yarvo_ == nullptr; }

    void close() {
        Use use(*this, /*allowClosed=*/true);
        yarvo_.reset();  // the destructor closes the board's descriptor
    }

    // Runs one operation with the GIL released; false raises BoardError.
    template <class Operation>
    void call(const char* name, Operation operation) {
        Use use(*this);
        bool ok;
        {
            py::gil_scoped_release released;
            ok = operation(*yarvo_);
        }
        if (!ok) raise(types.boardError, name, yarvo_->GetLastError());
    }

    // Init() or InitUSBBoard(address).  Finding no board raises NoBoardError;
    // an address the library refuses raises BoardError with its code.
    void open(const char* name, std::optional<long long> address) {
        const unsigned wanted = address ? narrow<unsigned>(*address, "address") : 0;
        Use use(*this);
        bool ok;
        {
            py::gil_scoped_release released;
            ok = address ? yarvo_->InitUSBBoard(wanted) : yarvo_->Init();
        }
        if (ok) return;
        if (address && wanted > 15) raise(types.boardError, name, yarvo_->GetLastError());
        const std::string what = address ? std::string(name) + ": no board with address " + std::to_string(wanted)
                                         : std::string(name) + ": no board found";
        raise(types.noBoardError, what.c_str(), ReelMsgOk);
    }

    unsigned lastError() {
        Use use(*this);
        return yarvo_->GetLastError();
    }

private:
    // One call at a time: a second thread entering while the GIL is
    // released would race on the object, so it is refused instead.
    class Use {
    public:
        explicit Use(Board& board, bool allowClosed = false) : board_(board) {
            if (!allowClosed && board.closed()) throw py::value_error("the board is closed");
            if (board.busy_.exchange(true)) {
                throw std::runtime_error("the board is in use by another thread: "
                                         "use one Board from one thread at a time");
            }
        }
        ~Use() { board_.busy_.store(false); }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

    private:
        Board& board_;
    };

    std::unique_ptr<Yarvo> yarvo_;
    std::atomic<bool> busy_{false};
};

// A parameter of the class as Python passes it: bool as bool, every other
// type (integers, chars, enumerations) as a Python int, narrowed on entry.
template <class T>
using FromPython = std::conditional_t<std::is_same_v<T, bool>, bool, long long>;

template <class T>
T toParameter(FromPython<T> value, const char* what) {
    if constexpr (std::is_same_v<T, bool>) {
        return value;
    } else if constexpr (std::is_enum_v<T>) {
        return static_cast<T>(narrow<std::underlying_type_t<T>>(value, what));
    } else if constexpr (std::is_same_v<T, char>) {
        return static_cast<char>(narrow<signed char>(value, what));
    } else {
        return narrow<T>(value, what);
    }
}

template <class... Args, size_t... I>
void defValues(py::class_<Board>& cls, const char* name, bool (Yarvo::*method)(Args...),
               const std::array<const char*, sizeof...(Args)>& names, const char* doc, std::index_sequence<I...>) {
    cls.def(
        name,
        [name, method, names](Board& self, FromPython<Args>... values) {
            const std::tuple<Args...> args{toParameter<Args>(values, names[I])...};
            self.call(name, [&](Yarvo& y) { return (y.*method)(std::get<I>(args)...); });
        },
        py::arg(names[I])..., doc);
}

// Binds a method whose parameters are all values (no pointers): Python name,
// method, parameter names, docstring.
template <class... Args>
void defValues(py::class_<Board>& cls, const char* name, bool (Yarvo::*method)(Args...),
               const std::array<const char*, sizeof...(Args)>& names, const char* doc) {
    defValues(cls, name, method, names, doc, std::index_sequence_for<Args...>{});
}

// An IntEnum made from (name, value) pairs, in module yarvo.
template <class Items>
py::object intEnum(py::module_& m, const char* name, const char* doc, const Items& items) {
    py::list members;
    for (const auto& [member, value] : items) members.append(py::make_tuple(member, value));
    py::object type = py::module_::import("enum").attr("IntEnum")(name, members, py::arg("module") = "yarvo");
    type.attr("__doc__") = doc;
    m.attr(name) = type;
    return type;
}

template <int Count>
py::object numberedEnum(py::module_& m, const char* name, const char* prefix, const char* doc) {
    std::pair<std::string, int> items[Count];
    for (int i = 0; i < Count; ++i) items[i] = {prefix + std::to_string(i), i};
    return intEnum(m, name, doc, items);
}

const char* const kErrorClasses = R"py(
class BoardError(Exception):
    """A board operation failed.

    code is the library's status number (a KReelMsg value), name its name as
    the tools print it ("ReelMsgBadReelNumber"), operation the method that
    failed.
    """

    def __init__(self, operation, code, name):
        super().__init__(operation if code == 0 else "%s: %s (%d)" % (operation, name, code))
        self.operation = operation
        self.code = code
        self.name = name


class NoBoardError(BoardError):
    """Opening found no board (code 0: a missing board has no status code)."""
)py";

template <class Record>
std::string statusText(const Record& s) {
    return "position=" + std::to_string(s.position) + ", status_word1=" + std::to_string(s.statusWord1) +
           ", status_byte1=" + std::to_string(s.statusByte1) + ", status_byte2=" + std::to_string(s.statusByte2) +
           ", status_byte3=" + std::to_string(s.statusByte3) + ", status_word2=" + std::to_string(s.statusWord2);
}

template <class Record>
bool sameStatus(const Record& a, const Record& b) {
    return a.position == b.position && a.statusWord1 == b.statusWord1 && a.statusByte1 == b.statusByte1 &&
           a.statusByte2 == b.statusByte2 && a.statusByte3 == b.statusByte3 && a.statusWord2 == b.statusWord2;
}

// The six fields both status records share, read-only.
template <class Record>
py::class_<Record> statusRecord(py::module_& m, const char* name, const char* doc) {
    py::class_<Record> record(m, name, doc);
    record.def_readonly("position", &Record::position, "Position in half steps within the turn.")
        .def_readonly("status_word1", &Record::statusWord1, "First status word (the firmware's).")
        .def_readonly("status_byte1", &Record::statusByte1, "First status byte (the firmware's).")
        .def_readonly("status_byte2", &Record::statusByte2, "Second status byte (the firmware's).")
        .def_readonly("status_byte3", &Record::statusByte3, "Third status byte (the firmware's).")
        .def_readonly("status_word2", &Record::statusWord2, "Second status word (the firmware's).");
    record.attr("__module__") = "yarvo";
    return record;
}

}  // namespace

PYBIND11_MODULE(_yarvo, m) {
    m.doc() = "The Yarvo class for Python; import it as yarvo.";
    m.attr("__version__") = YARVO_VERSION;

    py::dict scope;
    scope["__name__"] = "yarvo";
    py::exec(kErrorClasses, scope);
    types.boardError = py::object(scope["BoardError"]).release();
    types.noBoardError = py::object(scope["NoBoardError"]).release();
    m.attr("BoardError") = types.boardError;
    m.attr("NoBoardError") = types.noBoardError;

    std::pair<const char*, unsigned> codes[std::size(yarvo::status::kCodes)];
    for (size_t i = 0; i < std::size(codes); ++i) {
        codes[i] = {yarvo::status::kCodes[i].name, yarvo::status::kCodes[i].code};
    }
    types.reelMsg = intEnum(m, "KReelMsg", "Status codes: BoardError.code is one of these.", codes).release();
    const std::pair<const char*, unsigned> speeds[] = {
        {"USBBoardSpeedNone", USBBoardSpeedNone}, {"USBBoardSpeedFull", USBBoardSpeedFull},
        {"USBBoardSpeedHigh", USBBoardSpeedHigh}};
    types.usbBoardSpeed = intEnum(m, "USBBoardSpeed", "USB speed of the opened board.", speeds).release();
    numberedEnum<24>(m, "KReelInputBit", "KReelInput", "Input numbers 0 to 23.");
    numberedEnum<64>(m, "KReelOutputBit", "KReelOutput", "Output numbers 0 to 63.");

    statusRecord<KReelStatus>(m, "KReelStatus", "A reel's status as the board reports it (read-only).")
        .def("__repr__", [](const KReelStatus& s) { return "KReelStatus(" + statusText(s) + ")"; })
        .def("__eq__", [](const KReelStatus& a, const KReelStatus& b) { return sameStatus(a, b); });
    statusRecord<KReelStatusEx>(m, "KReelStatusEx",
                                "A reel's status with its nearest symbol, the offset from it and the reel's "
                                "speed (read-only).")
        .def_readonly("nearest_symbol", &KReelStatusEx::nearestSymbol, "The symbol nearest the reel's position.")
        .def_readonly("symbol_offset", &KReelStatusEx::symbolOffset,
                      "Position minus the nearest symbol's, in half steps (low 8 bits, signed).")
        .def_readonly("reel_speed", &KReelStatusEx::reelSpeed,
                      "The speed last selected for the reel (negative: backwards).")
        .def("__repr__",
             [](const KReelStatusEx& s) {
                 return "KReelStatusEx(" + statusText(s) + ", nearest_symbol=" + std::to_string(s.nearestSymbol) +
                        ", symbol_offset=" + std::to_string(s.symbolOffset) +
                        ", reel_speed=" + std::to_string(s.reelSpeed) + ")";
             })
        .def("__eq__", [](const KReelStatusEx& a, const KReelStatusEx& b) {
            return sameStatus(a, b) && a.nearestSymbol == b.nearestSymbol && a.symbolOffset == b.symbolOffset &&
                   a.reelSpeed == b.reelSpeed;
        });

    using R = long long;  // every integer argument, narrowed to the class's type
    py::class_<Board> board(m, "Board", R"(One K-Mora Yarvo Board.

Board() opens the first board found, Board(address=N) the board whose
address inputs read N.  Use it as a context manager, or call close(): that
releases the board.  A failed call raises BoardError; finding no board
raises NoBoardError.

Board exchanges release the GIL.  One Board is used from one thread at a
time (a second thread gets RuntimeError); several Boards may be used from
several threads side by side.)");
    board.attr("__module__") = "yarvo";
    board
        .def(py::init<std::optional<R>>(), py::arg("address") = py::none(),
             "Opens the first board found, or the one at `address` (0-15).")
        .def("__enter__", [](Board& self) -> Board& { return self; }, "Returns the board itself.")
        .def("__exit__", [](Board& self, py::args) { self.close(); }, "Closes the board.")
        .def("__repr__", [](const Board& self) { return self.closed() ? "<yarvo.Board closed>" : "<yarvo.Board>"; })
        .def_property_readonly("closed", &Board::closed, "True once the board was closed.")
        .def("close", &Board::close,
             "Releases the board (its descriptor); later calls raise ValueError.  Closing twice does nothing.")
        .def("get_last_error", [](Board& self) { return types.reelMsg(self.lastError()); },
             "The status code stored by the most recent failing call (a KReelMsg).")
        .def("get_dll_version",
             [](Board& self) {
                 unsigned char version[8] = {};
                 self.call("get_dll_version", [&](Yarvo& y) { return y.GetDllVersion(version); });
                 return std::string(reinterpret_cast<char*>(version));
             },
             "The library's version text (\"14\").")
        .def("get_product_version",
             [](Board& self) {
                 unsigned char version[8] = {};
                 self.call("get_product_version", [&](Yarvo& y) { return y.GetProductVersion(version); });
                 return std::string(reinterpret_cast<char*>(version));
             },
             "The product version text (\"3\").")
        .def("init", [](Board& self) { self.open("init", std::nullopt); },
             "Opens the first board found again (replacing the board held).")
        .def("init_usb_board", [](Board& self, R address) { self.open("init_usb_board", address); },
             py::arg("address"), "Opens the board whose address inputs read `address` (0-15).")
        .def("get_board_speed",
             [](Board& self) {
                 USBBoardSpeed speed = USBBoardSpeedNone;
                 self.call("get_board_speed", [&](Yarvo& y) { return y.GetBoardSpeed(&speed); });
                 return types.usbBoardSpeed(static_cast<unsigned>(speed));
             },
             "The board's USB speed (a USBBoardSpeed).")
        .def("get_inputs",
             [](Board& self) {
                 unsigned short low = 0;
                 unsigned char high = 0;
                 self.call("get_inputs", [&](Yarvo& y) { return y.GetInputs(&low, &high); });
                 return py::make_tuple(low, high);
             },
             "Inputs 0-15 (bit n: input n) and 16-23 (bit n: input 16 + n), as (low, high).")
        .def("get_input_bit",
             [](Board& self, R input) {
                 const auto bit = static_cast<KReelInputBit>(narrow<int>(input, "input"));
                 bool state = false;
                 self.call("get_input_bit", [&](Yarvo& y) { return y.GetInputBit(bit, &state); });
                 return state;
             },
             py::arg("input"), "One input (0-23) of the board, True when on.")
        .def("get_changed_inputs",
             [](Board& self) {
                 unsigned short changed = 0;
                 self.call("get_changed_inputs", [&](Yarvo& y) { return y.GetChangedInputs(&changed); });
                 return changed;
             },
             "The board's 16-bit changed-inputs value; reading it clears it.");
    defValues(board, "set_outputs", &Yarvo::SetOutputs, {"first", "second"}, "Sets all outputs from two 32-bit words.");
    defValues(board, "modify_outputs", &Yarvo::ModifyOutputs, {"first", "second", "third", "fourth"},
              "Switches outputs by four mask words (the second switches lamp outputs on, the fourth off).");
    defValues(board, "set_output_bit", &Yarvo::SetOutputBit, {"output", "on"}, "Switches one output (0-63) on or off.");
    defValues(board, "set_reel_lamps", &Yarvo::SetReelLamps, {"reel", "on"},
              "Switches the three lamps of a configured reel on or off.");
    board
        .def("get_firmware_version",
             [](Board& self) {
                 unsigned char version[256] = {};
                 self.call("get_firmware_version", [&](Yarvo& y) { return y.GetFirmwareVersion(version); });
                 // The board's bytes carry no terminator; the buffer was cleared.
                 const char* text = reinterpret_cast<const char*>(version);
                 return py::str(py::bytes(text, strnlen(text, sizeof version)).attr("decode")("latin-1"));
             },
             "The firmware's version text (its bytes up to the first NUL, read as Latin-1).")
        .def("get_power_status",
             [](Board& self) {
                 KReelPowerStatus status{};
                 self.call("get_power_status", [&](Yarvo& y) { return y.GetPowerStatus(&status); });
                 return status.value;
             },
             "The board's power status byte.");
    defValues(board, "configure_reels", &Yarvo::ConfigureReels,
              {"count", "param16", "steps_per_symbol", "param4", "param5"},
              "Declares reels 0 to count - 1 for step-level use.");
    defValues(board, "set_duty_cycle", &Yarvo::SetDutyCycle, {"reel", "off", "on"},
              "Sets a reel's duty cycle (off + on below 256).");
    board
        .def("spin_ramp_up",
             [](Board& self, R reel, const py::sequence& entries) {
                 const unsigned char r = reelNumber(reel);
                 KReelRampTable table = rampTable(entries);
                 self.call("spin_ramp_up", [&](Yarvo& y) { return y.SpinRampUp(r, &table); });
             },
             py::arg("reel"), py::arg("entries"), "Sends a reel's ramp-up table (1 to 60 entries, each 0-255).")
        .def("spin_ramp_down",
             [](Board& self, R reel, const py::sequence& entries) {
                 const unsigned char r = reelNumber(reel);
                 KReelRampTable table = rampTable(entries);
                 self.call("spin_ramp_down", [&](Yarvo& y) { return y.SpinRampDown(r, &table); });
             },
             py::arg("reel"), py::arg("entries"), "Sends a reel's ramp-down table (0 to 60 entries, each 0-255).");
    defValues(board, "reel_synchronise_enable", &Yarvo::ReelSynchroniseEnable, {"reel"},
              "Enables a reel's synchronisation at its index mark.");
    defValues(board, "clear_tampered_state", &Yarvo::ClearTamperedState, {"reel"}, "Clears a reel's tampered state.");
    defValues(board, "spin_reels", &Yarvo::SpinReels, {"reel", "step_mode", "step_count"},
              "Spins a reel by step_count motor steps of step mode -2, -1, 1 or 2.");
    defValues(board, "spin_reel_step_forward", &Yarvo::SpinReelStepForward, {"reel", "step_size", "step_count"},
              "Spins a reel forwards by step_count steps of 1 or 2 half steps.");
    defValues(board, "spin_reel_step_back", &Yarvo::SpinReelStepBack, {"reel", "step_size", "step_count"},
              "Spins a reel backwards by step_count steps of 1 or 2 half steps.");
    defValues(board, "spin_reel_symbol_forward", &Yarvo::SpinReelSymbolForward, {"reel", "step_size", "symbols"},
              "Spins a reel forwards by symbols x the steps per symbol given to configure_reels.");
    defValues(board, "spin_reel_symbol_back", &Yarvo::SpinReelSymbolBack, {"reel", "step_size", "symbols"},
              "Spins a reel backwards by symbols x the steps per symbol given to configure_reels.");
    defValues(board, "spin_start_skill", &Yarvo::SpinStartSkill, {"reel", "step_mode"},
              "Starts a skill spin in step mode -2, -1, 1 or 2.");
    defValues(board, "spin_stop_skill", &Yarvo::SpinStopSkill, {"reel"}, "Stops a skill spin where it lands.");
    defValues(board, "stop_current_spin_at_position", &Yarvo::StopCurrentSpinAtPosition, {"reel", "position"},
              "Stops the running spin at a position (half steps).");
    board
        .def("get_reel_status",
             [](Board& self, R reel) {
                 const unsigned char r = reelNumber(reel);
                 KReelStatus status{};
                 self.call("get_reel_status", [&](Yarvo& y) { return y.GetReelStatus(r, &status); });
                 return status;
             },
             py::arg("reel"), "A reel's status (a KReelStatus).")
        .def("vendor_set_reel_file_path",
             [](Board& self, const py::object& path) {
                 const std::string file =
                     cString(py::module_::import("os").attr("fsencode")(path).cast<std::string>(), "path");
                 self.call("vendor_set_reel_file_path",
                           [&](Yarvo& y) { return y.VendorSetReelFilePath(const_cast<char*>(file.c_str())); });
             },
             py::arg("path"), "Loads the reel-definition file at `path` (str, bytes or path-like).")
        .def("vendor_configure_reel",
             [](Board& self, R reel, const std::string& type) {
                 const unsigned char r = reelNumber(reel);
                 const std::string name = cString(type, "type");
                 self.call("vendor_configure_reel",
                           [&](Yarvo& y) { return y.VendorConfigureReel(r, const_cast<char*>(name.c_str())); });
             },
             py::arg("reel"), py::arg("type"), "Configures a reel from a reel type of the reel-definition file.");
    defValues(board, "vendor_spin_reel_to_symbol", &Yarvo::VendorSpinReelToSymbol, {"reel", "symbol", "speed"},
              "Spins a reel to a symbol at the definition speed nearest |speed| (negative: backwards).");
    defValues(board, "vendor_spin_reel_number_of_symbols", &Yarvo::VendorSpinReelNumberOfSymbols,
              {"reel", "count", "speed"}, "Spins a reel by `count` symbols past the nearest symbol ahead.");
    defValues(board, "vendor_synchronise_reel", &Yarvo::VendorSynchroniseReel, {"reel"},
              "Synchronises a reel: two turns and a symbol with synchronisation enabled.");
    defValues(board, "vendor_spin_reel_start_skill", &Yarvo::VendorSpinReelStartSkill, {"reel", "speed"},
              "Starts a skill spin at the definition speed nearest |speed|.");
    defValues(board, "vendor_spin_reel_stop_skill", &Yarvo::VendorSpinReelStopSkill, {"reel"},
              "Stops the running spin on the first symbol past the predicted stop point.");
    defValues(board, "vendor_stop_reel_spin_at_position", &Yarvo::VendorStopReelSpinAtPosition, {"reel", "symbol"},
              "Stops the running spin on a symbol's position.");
    board.def("vendor_get_reel_status",
              [](Board& self, R reel) {
                  const unsigned char r = reelNumber(reel);
                  KReelStatusEx status{};
                  self.call("vendor_get_reel_status", [&](Yarvo& y) { return y.VendorGetReelStatus(r, &status); });
                  return status;
              },
              py::arg("reel"), "A reel's status with its nearest symbol (a KReelStatusEx).");
}
