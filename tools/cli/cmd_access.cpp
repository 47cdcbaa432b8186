// tarvo-cli param get|set, reg read|write, reset: direct camera access.
#include <memory>

#include "cli.h"

namespace tarvo_cli {

namespace {

struct AccessArgs {
    std::vector<std::string> ids;  // param get
    std::string id, value, text;   // param set
    int size = 4;
    std::string target = "1", base;  // reg
    int count = 1;
    std::vector<std::string> values;  // reg write
    unsigned reset_target = 0;
};

Record param_record(const tarvo_param_item_t &it) {
    Record r;
    const size_t n = it.param_val_len < 18 ? it.param_val_len : 18;
    r.add("id", it.param_id)
        .add("length", it.param_val_len)
        .add("bytes", hex_bytes(it.param_val, n));
    r.add("value", static_cast<int64_t>(le_u32(it.param_val, n)));
    bool printable = n > 0;
    for (size_t i = 0; i < n; ++i)
        printable = printable && ((it.param_val[i] >= 0x20 && it.param_val[i] < 0x7F) ||
                                  (it.param_val[i] == 0 && i > 0));
    if (printable)
        r.add("text", std::string(reinterpret_cast<const char *>(it.param_val), n).c_str());
    return r;
}

bool id_of(const std::string &s, uint32_t &id) {
    int64_t v;
    if (!parse_int(s, v) || v < 0 || v > 255) return false;
    id = static_cast<uint32_t>(v);
    return true;
}

int param_get(const Global &g, const AccessArgs &a) {
    std::vector<tarvo_param_item_t> items(a.ids.size());
    for (size_t i = 0; i < a.ids.size(); ++i)
        if (!id_of(a.ids[i], items[i].param_id))
            return fail("parameter id '" + a.ids[i] + "' is not a number from 0 to 255", k_usage);
    Session s(g);
    tarvo_dev_t *dev = s.ok() ? s.open() : nullptr;
    if (!dev) return s.open_status();
    if (!tarvo_param_batch_get(dev, items.data(), static_cast<int>(items.size())))
        return fail("the camera did not answer the parameter read");
    std::vector<Record> rows;
    for (const auto &it : items) rows.push_back(param_record(it));
    emit(g, Record().add("parameters", rows));
    return k_ok;
}

int param_set(const Global &g, const AccessArgs &a) {
    tarvo_param_item_t it{};
    if (!id_of(a.id, it.param_id))
        return fail("parameter id '" + a.id + "' is not a number from 0 to 255", k_usage);
    if (!a.text.empty()) {
        if (a.text.size() > 18)
            return fail("a parameter text holds at most 18 characters", k_usage);
        it.param_val_len = static_cast<uint8_t>(a.text.size());
        std::copy(a.text.begin(), a.text.end(), it.param_val);
    } else {
        int64_t v;
        if (!parse_int(a.value, v))
            return fail("value '" + a.value + "' is not a number (or give --text)", k_usage);
        if (a.size < 8 &&
            (v >= (int64_t{1} << (8 * a.size)) || v < -(int64_t{1} << (8 * a.size - 1))))
            return fail("value " + a.value + " does not fit " + std::to_string(a.size) + " bytes",
                        k_usage);
        it.param_val_len = static_cast<uint8_t>(a.size);
        for (int i = 0; i < a.size; ++i)
            it.param_val[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
    }
    Session s(g);
    tarvo_dev_t *dev = s.ok() ? s.open() : nullptr;
    if (!dev) return s.open_status();
    if (!tarvo_param_batch_set(dev, &it, 1)) return fail("the camera refused the parameter");
    emit(g, Record().add("set", param_record(it)));
    return k_ok;
}

int reg_access(const Global &g, const AccessArgs &a, bool write) {
    int64_t target, base;
    if (!parse_int(a.target, target) || target < 0 || target > 255)
        return fail("register space '" + a.target + "' is not a number from 0 to 255", k_usage);
    if (!parse_int(a.base, base) || base < 0 || base > 0xFFFFFFFF)
        return fail("register '" + a.base + "' is not a 32-bit number", k_usage);
    std::vector<uint32_t> vals(write ? a.values.size() : static_cast<size_t>(a.count));
    for (size_t i = 0; write && i < vals.size(); ++i) {
        int64_t v;
        if (!parse_int(a.values[i], v) || v < 0 || v > 0xFFFFFFFF)
            return fail("register value '" + a.values[i] + "' is not a 32-bit number", k_usage);
        vals[i] = static_cast<uint32_t>(v);
    }
    Session s(g);
    tarvo_dev_t *dev = s.ok() ? s.open() : nullptr;
    if (!dev) return s.open_status();
    const bool ok =
        write ? tarvo_reg_batch_write(dev, static_cast<int>(target), static_cast<uint32_t>(base),
                                      vals.data(), static_cast<unsigned>(vals.size()))
              : tarvo_reg_batch_read(dev, static_cast<int>(target), static_cast<uint32_t>(base),
                                     vals.data(), static_cast<unsigned>(vals.size()));
    if (!ok)
        return fail(std::string("the camera refused the register ") + (write ? "write" : "read"));
    std::vector<Record> rows;
    for (size_t i = 0; i < vals.size(); ++i) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08X", vals[i]);
        rows.push_back(Record()
                           .add("register", static_cast<int64_t>(base + static_cast<int64_t>(i)))
                           .add("value", static_cast<int64_t>(vals[i]))
                           .add("hex", hex));
    }
    emit(g, Record()
                .add("space", static_cast<int64_t>(target))
                .add(write ? "written" : "registers", rows));
    return k_ok;
}

int reset(const Global &g, const AccessArgs &a) {
    Session s(g);
    tarvo_dev_t *dev = s.ok() ? s.open() : nullptr;
    if (!dev) return s.open_status();
    if (!tarvo_dev_reset(dev, a.reset_target))
        return fail("the camera did not confirm the reset of target " +
                    std::to_string(a.reset_target));
    emit(g, Record().add("reset", a.reset_target));
    return k_ok;
}

}  // namespace

void add_access(CLI::App &app, Global &g, Runner &run) {
    auto a = std::make_shared<AccessArgs>();
    CLI::App *param = app.add_subcommand("param", "read or write camera parameters");
    param->require_subcommand(1);
    CLI::App *get = param->add_subcommand("get", "read parameters by id");
    get->add_option("ids", a->ids,
                    "parameter ids (3 product, 12 frame rate, 13 integration time, ...)")
        ->required();
    get->callback([&g, &run, a] { run = [&g, a] { return param_get(g, *a); }; });
    CLI::App *set = param->add_subcommand("set", "write one parameter");
    set->add_option("id", a->id, "parameter id")->required();
    set->add_option("value", a->value, "integer value, stored little-endian");
    set->add_option("--size", a->size, "bytes of the integer value (1 to 8, default 4)")
        ->check(CLI::Range(1, 8));
    set->add_option("--text", a->text, "a text value instead of an integer");
    set->callback([&g, &run, a] {
        if (a->value.empty() == a->text.empty())
            throw CLI::ValidationError("param set", "give either a value or --text");
        run = [&g, a] { return param_set(g, *a); };
    });

    CLI::App *reg = app.add_subcommand("reg", "read or write 32-bit chip registers");
    reg->require_subcommand(1);
    CLI::App *rd = reg->add_subcommand("read", "read registers");
    rd->add_option("--space", a->target, "register space (default 1, the sensor chip)");
    rd->add_option("base", a->base, "first register")->required();
    rd->add_option("count", a->count, "number of registers (default 1)")->check(CLI::Range(1, 256));
    rd->callback([&g, &run, a] { run = [&g, a] { return reg_access(g, *a, false); }; });
    CLI::App *wr = reg->add_subcommand("write", "write consecutive registers");
    wr->add_option("--space", a->target, "register space (default 1, the sensor chip)");
    wr->add_option("base", a->base, "first register")->required();
    wr->add_option("values", a->values, "values, one per register")->required();
    wr->callback([&g, &run, a] { run = [&g, a] { return reg_access(g, *a, true); }; });

    CLI::App *rs = app.add_subcommand("reset", "reset a part of the camera");
    rs->add_option("--target", a->reset_target, "0 to 8; 3 resets the USB interface")
        ->required()
        ->check(CLI::Range(0, 8));
    rs->callback([&g, &run, a] { run = [&g, a] { return reset(g, *a); }; });
}

}  // namespace tarvo_cli
