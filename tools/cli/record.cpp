// Output of tarvo-cli: the same record printed for people or as JSON.
#include <cmath>
#include <cstdio>

#include "cli.h"

namespace tarvo_cli {

namespace {

std::string quote(const std::string &s) {
    std::string o = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            o += '\\';
            o += static_cast<char>(c);
        } else if (c < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            o += b;
        } else {
            o += static_cast<char>(c);
        }
    }
    return o + "\"";
}

std::string number(double v) {
    if (!std::isfinite(v)) return "null";
    char b[32];
    std::snprintf(b, sizeof b, "%.6g", v);
    return b;
}

}  // namespace

Record &Record::add(const std::string &key, const std::string &text) {
    fields_.push_back({key, quote(text), text, {}, false, false});
    return *this;
}

Record &Record::add(const std::string &key, double v) {
    fields_.push_back({key, number(v), number(v), {}, false, false});
    return *this;
}

Record &Record::add(const std::string &key, int64_t v) {
    const std::string s = std::to_string(v);
    fields_.push_back({key, s, s, {}, false, false});
    return *this;
}

Record &Record::add(const std::string &key, bool v) {
    fields_.push_back({key, v ? "true" : "false", v ? "yes" : "no", {}, false, false});
    return *this;
}

Record &Record::add(const std::string &key, const Record &child) {
    fields_.push_back({key, {}, {}, {child}, true, false});
    return *this;
}

Record &Record::add(const std::string &key, const std::vector<Record> &list) {
    fields_.push_back({key, {}, {}, list, true, true});
    return *this;
}

Record &Record::add_numbers(const std::string &key, const std::vector<double> &list) {
    std::string j = "[", t;
    for (size_t i = 0; i < list.size(); ++i) {
        j += (i ? "," : "") + number(list[i]);
        t += (i ? " " : "") + number(list[i]);
    }
    fields_.push_back({key, j + "]", t, {}, false, false});
    return *this;
}

std::string Record::json() const {
    std::string o = "{";
    for (size_t i = 0; i < fields_.size(); ++i) {
        const Field &f = fields_[i];
        o += (i ? "," : "") + quote(f.key) + ":";
        if (!f.nested) {
            o += f.json;
        } else if (!f.list) {
            o += f.children[0].json();
        } else {
            o += "[";
            for (size_t k = 0; k < f.children.size(); ++k)
                o += (k ? "," : "") + f.children[k].json();
            o += "]";
        }
    }
    return o + "}";
}

std::string Record::text(int indent) const {
    const std::string pad(static_cast<size_t>(indent), ' ');
    std::string o;
    for (const Field &f : fields_) {
        if (!f.nested) {
            o += pad + f.key + ": " + f.text + "\n";
        } else if (!f.list) {
            o += pad + f.key + ":\n" + f.children[0].text(indent + 2);
        } else {
            o += pad + f.key + ":" + (f.children.empty() ? " none\n" : "\n");
            for (size_t k = 0; k < f.children.size(); ++k)
                o += pad + "  [" + std::to_string(k) + "]\n" + f.children[k].text(indent + 4);
        }
    }
    return o;
}

void emit(const Global &g, const Record &r) {
    const std::string s = g.json ? r.json() + "\n" : r.text();
    std::fwrite(s.data(), 1, s.size(), stdout);
    std::fflush(stdout);
}

int fail(const std::string &message, int status) {
    std::fprintf(stderr, "tarvo-cli: %s\n", message.c_str());
    return status;
}

}  // namespace tarvo_cli
