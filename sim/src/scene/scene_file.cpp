// Scene files: JSON read with nlohmann::json, checked field by field
// against the limits of scene_file.h before anything reaches the scene.
#include "scene/scene_file.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <nlohmann/json.hpp>

namespace tarvo::sim::phys {

namespace {

using json = nlohmann::json;

// Line and column (from 1) of byte `pos` (from 1, as the parser counts).
std::string where(std::string_view text, size_t pos) {
    size_t line = 1, col = 1;
    for (size_t i = 0; i + 1 < pos && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            col = 1;
        } else {
            ++col;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(col);
}

// Deepest nesting of arrays and objects, outside strings and comments;
// checked before parsing so that no input can run the parser deep. Returns
// the byte (from 1) where the limit is passed, or 0.
size_t too_deep(std::string_view t) {
    int depth = 0;
    for (size_t i = 0; i < t.size(); ++i) {
        const char c = t[i];
        if (c == '"') {
            for (++i; i < t.size() && t[i] != '"'; ++i)
                if (t[i] == '\\') ++i;
        } else if (c == '/' && i + 1 < t.size() && t[i + 1] == '/') {
            while (i < t.size() && t[i] != '\n') ++i;
        } else if (c == '/' && i + 1 < t.size() && t[i + 1] == '*') {
            for (i += 2; i + 1 < t.size() && !(t[i] == '*' && t[i + 1] == '/'); ++i) {
            }
            ++i;
        } else if (c == '[' || c == '{') {
            if (++depth > k_scene_max_depth) return i + 1;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return 0;
}

// A failure at the path `at`.
struct Bad {
    std::string at, what;
};

double number(const json &o, const char *key, const std::string &at, double lo, double hi) {
    const auto it = o.find(key);
    const std::string path = at + "." + key;
    if (it == o.end()) throw Bad{path, "missing"};
    if (!it->is_number()) throw Bad{path, "needs a number"};
    const double v = it->get<double>();
    if (!std::isfinite(v) || v < lo || v > hi) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "needs a number from %g to %g", lo, hi);
        throw Bad{path, buf};
    }
    return v;
}

double number_or(const json &o, const char *key, const std::string &at, double lo, double hi,
                 double dflt) {
    return o.contains(key) ? number(o, key, at, lo, hi) : dflt;
}

std::array<double, 3> vec3(const json &o, const char *key, const std::string &at, double lo,
                           double hi) {
    const auto it = o.find(key);
    const std::string path = at + "." + key;
    if (it == o.end()) throw Bad{path, "missing"};
    if (!it->is_array() || it->size() != 3) throw Bad{path, "needs an array of 3 numbers"};
    std::array<double, 3> v{};
    for (size_t k = 0; k < 3; ++k) {
        const json &e = (*it)[k];
        if (!e.is_number() || !std::isfinite(e.get<double>()) || e.get<double>() < lo ||
            e.get<double>() > hi) {
            char buf[96];
            std::snprintf(buf, sizeof buf, "needs 3 numbers from %g to %g", lo, hi);
            throw Bad{path, buf};
        }
        v[k] = e.get<double>();
    }
    return v;
}

void only(const json &o, const std::string &at, std::initializer_list<const char *> keys) {
    for (const auto &[k, v] : o.items()) {
        bool known = false;
        for (const char *n : keys) known = known || k == n;
        if (!known) throw Bad{at + "." + k, "unknown field"};
    }
}

SceneObject object_of(const json &o, const std::string &at) {
    if (!o.is_object()) throw Bad{at, "needs an object"};
    const auto type = o.find("type");
    if (type == o.end() || !type->is_string())
        throw Bad{at + ".type", "needs \"plane\", \"box\" or \"sphere\""};
    const std::string kind = type->get<std::string>();
    constexpr double L = k_scene_max_coord_m;
    SceneObject s;
    s.reflectivity = number_or(o, "reflectivity", at, 0.0, 1.0, 0.8);
    if (kind == "plane" && o.contains("point")) {
        only(o, at, {"type", "reflectivity", "point", "normal"});
        s.kind = SceneObject::Kind::plane;
        s.centre = vec3(o, "point", at, -L, L);
        s.normal = vec3(o, "normal", at, -1e6, 1e6);
        const double n = std::hypot(s.normal[0], s.normal[1], s.normal[2]);
        if (!(n > 1e-9)) throw Bad{at + ".normal", "needs a non-zero vector"};
        for (double &c : s.normal) c /= n;
    } else if (kind == "plane") {
        // Facing the camera at `distance` along the optical axis, turned by
        // `tilt` degrees about the horizontal axis through that point.
        only(o, at, {"type", "reflectivity", "distance", "tilt"});
        s.kind = SceneObject::Kind::plane;
        const double d = number(o, "distance", at, 0.05, L);
        const double a = number_or(o, "tilt", at, -80.0, 80.0, 0.0) * M_PI / 180.0;
        s.centre = {0.0, 0.0, d};
        s.normal = {0.0, std::sin(a), -std::cos(a)};
    } else if (kind == "box") {
        only(o, at, {"type", "reflectivity", "centre", "size"});
        s.kind = SceneObject::Kind::box;
        s.centre = vec3(o, "centre", at, -L, L);
        const auto size = vec3(o, "size", at, 0.001, L);
        for (size_t k = 0; k < 3; ++k) s.half[k] = size[k] / 2.0;
    } else if (kind == "sphere") {
        only(o, at, {"type", "reflectivity", "centre", "radius"});
        s.kind = SceneObject::Kind::sphere;
        s.centre = vec3(o, "centre", at, -L, L);
        s.radius = number(o, "radius", at, 0.001, L);
    } else {
        throw Bad{at + ".type",
                  "needs \"plane\", \"box\" or \"sphere\", got \"" + kind.substr(0, 32) + "\""};
    }
    return s;
}

}  // namespace

bool parse_scene(std::string_view text, SceneConfig &sc, std::string &err) {
    if (text.size() > k_scene_file_max_bytes) {
        err = "longer than " + std::to_string(k_scene_file_max_bytes) + " bytes";
        return false;
    }
    if (const size_t at = too_deep(text)) {
        err = where(text, at) + ": nested deeper than " + std::to_string(k_scene_max_depth) +
              " levels";
        return false;
    }
    json doc;
    try {
        doc = json::parse(text.begin(), text.end(), nullptr, /*exceptions*/ true,
                          /*comments*/ true);
    } catch (const json::parse_error &e) {
        // The parser's text names the place as well; keep what follows it.
        std::string msg = e.what();
        if (const size_t c = msg.find("column "); c != std::string::npos) {
            const size_t colon = msg.find(": ", c);
            if (colon != std::string::npos) msg = msg.substr(colon + 2);
        }
        err = where(text, e.byte) + ": " + msg;
        return false;
    } catch (const json::exception &e) {
        err = e.what();
        return false;
    }
    try {
        if (!doc.is_object()) throw Bad{"(top)", "needs an object with \"objects\""};
        only(doc, "", {"objects", "ambient_light"});
        const auto objs = doc.find("objects");
        if (objs == doc.end() || !objs->is_array() || objs->empty())
            throw Bad{".objects",
                      "needs an array of 1 to " + std::to_string(k_scene_max_objects) + " objects"};
        if (objs->size() > k_scene_max_objects)
            throw Bad{".objects", "holds " + std::to_string(objs->size()) + " objects, at most " +
                                      std::to_string(k_scene_max_objects) + " allowed"};
        std::vector<SceneObject> out;
        for (size_t i = 0; i < objs->size(); ++i)
            out.push_back(object_of((*objs)[i], "objects[" + std::to_string(i) + "]"));
        const double ambient = number_or(doc, "ambient_light", "", 0.0, 10.0, sc.ambient_light);
        sc.objects = std::move(out);
        sc.ambient_light = ambient;
        sc.physical = true;
        return true;
    } catch (const Bad &b) {
        err = (b.at.size() > 1 && b.at[0] == '.' ? b.at.substr(1) : b.at) + ": " + b.what;
        return false;
    } catch (const json::exception &e) {
        err = e.what();
        return false;
    }
}

bool load_scene_file(const std::string &path, SceneConfig &sc, std::string &err) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        err = "cannot read " + path;
        return false;
    }
    std::string text;
    char buf[4096];
    while (f.read(buf, sizeof buf) || f.gcount() > 0) {
        text.append(buf, static_cast<size_t>(f.gcount()));
        if (text.size() > k_scene_file_max_bytes) break;
    }
    if (!parse_scene(text, sc, err)) {
        err = path + ": " + err;
        return false;
    }
    return true;
}

}  // namespace tarvo::sim::phys
