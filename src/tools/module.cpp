// The companion's native module. Its functions take `zumbrel.NES` objects as the console
// itself: both modules link the same core library and pybind11, so they share the registry
// of bound types, which the import of `zumbrel` fills.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>
#include <vector>

#include "features.hpp"
#include "host/storage.hpp"
#include "machine/cartridge/mapper.hpp"

namespace {

// The boards the machine implements, from its own table: the command asks rather than keep a list.
std::vector<std::pair<int, std::string>> boards() {
    std::vector<std::pair<int, std::string>> out;
    for (const NES::BoardInfo* b = NES::boards_begin(); b != NES::boards_end(); ++b)
        out.emplace_back(b->number, b->name);
    return out;
}

}  // namespace

PYBIND11_MODULE(_native, m) {
    pybind11::module_::import("zumbrel");
    tools::add_snapshot(m);
    tools::add_batch(m);
    m.def("boards", &boards);
    m.def("save_folder_name", &host::cartridge_base_name, pybind11::arg("path"));
}
