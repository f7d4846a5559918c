// Model files written into, and read from, a stretch of a file the library
// has open, so that a recommender file needs no second copy of the engine's.
#include "python/native_files.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

#include "core/file_model.hpp"
#include "python/model_object.hpp"

namespace quibrel::py {

// write_engine(model, fd): the bytes save_* would put in the model's file,
// written at fd's position (which moves past them); the file is neither
// synced nor closed. Returns their count and CRC-32.
PyObject* native_write_engine(PyObject*, PyObject* args) {
    return guarded([&]() -> Ref {
        PyObject* model;
        int fd;
        if (!PyArg_ParseTuple(args, "Oi:write_engine", &model, &fd)) throw ErrorAlreadySet();
        const Kind kind = kind_of(model);
        FileHandle file = FileHandle::duplicate(fd);
        ByteTally written;
        with_record<SharedHold>(model, [&](const auto& record) {
            if constexpr (std::is_same_v<std::decay_t<decltype(record)>, SwingModel>)
                written = write_swing_model(record, file);
            else
                written = write_cf_model(record, orientation(kind), file);
            return none();
        });
        file.close();
        return check(Py_BuildValue("KI", static_cast<unsigned long long>(written.bytes),
                                   static_cast<unsigned int>(written.crc)));
    });
}

// read_engine(kind, fd, offset, length): the model of class `kind` ("ItemCF",
// "UserCF" or "Swing") from the model file in bytes [offset, offset + length)
// of fd, read by position (fd's own position stays). Every byte of the range
// is read; the CRC-32 of them all is returned with the model's user and item
// counts.
PyObject* native_read_engine(PyObject*, PyObject* args) {
    return guarded([&]() -> Ref {
        PyObject* kind_obj;
        int fd;
        PyObject* offset_obj;
        PyObject* length_obj;
        if (!PyArg_ParseTuple(args, "OiOO:read_engine", &kind_obj, &fd, &offset_obj, &length_obj))
            throw ErrorAlreadySet();
        const std::string kind = convert_argument("kind", [&] { return to_str(kind_obj); });
        if (kind != "ItemCF" && kind != "UserCF" && kind != "Swing")
            raise(PyExc_ValueError,
                  "kind must be 'ItemCF', 'UserCF' or 'Swing', got '" + kind + "'");
        const std::uint64_t offset =
            convert_argument("offset", [&] { return to_u64(offset_obj); });
        const std::uint64_t length =
            convert_argument("length", [&] { return to_u64(length_obj); });
        // File offsets are signed 64-bit: a range must end within them.
        constexpr std::uint64_t kMaxEnd = std::numeric_limits<std::int64_t>::max();
        if (offset > kMaxEnd || length > kMaxEnd - offset)
            raise(PyExc_ValueError, "offset + length lies beyond any file");
        FileHandle file = FileHandle::duplicate(fd);
        const FileRange range{offset, length};
        ByteTally read;
        Ref model;
        std::uint64_t n_users = 0;
        std::uint64_t n_items = 0;
        if (kind == "Swing") {
            SwingModel m = read_swing_model(file, range, read);
            n_users = m.n_users;
            n_items = m.n_items;
            model = wrap_model(swing_type(), std::move(m));
        } else {
            CfModel m = read_cf_model(file, range, read);
            n_users = m.n_users;
            n_items = m.n_items;
            model = wrap_model(kind == "ItemCF" ? item_cf_type() : user_cf_type(), std::move(m));
        }
        return check(Py_BuildValue("OIKK", model.get(), static_cast<unsigned int>(read.crc),
                                   static_cast<unsigned long long>(n_users),
                                   static_cast<unsigned long long>(n_items)));
    });
}

}  // namespace quibrel::py
