#include "library.hpp"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>

#include "hooks.hpp"

namespace camsim {
namespace {

std::vector<std::string> split_keys(const std::string& csv) {
    std::vector<std::string> keys;
    std::size_t pos = 0;
    while (pos <= csv.size()) {
        std::size_t comma = csv.find(',', pos);
        if (comma == std::string::npos) comma = csv.size();
        std::string key = csv.substr(pos, comma - pos);
        std::size_t b = key.find_first_not_of(" \t"), e = key.find_last_not_of(" \t");
        if (b != std::string::npos) keys.push_back(key.substr(b, e - b + 1));
        pos = comma + 1;
    }
    return keys;
}

bool resolve(const std::vector<std::string>& keys, std::vector<const Model*>& out, std::string* unknown) {
    out.clear();
    for (const std::string& k : keys) {
        const Model* m = find_model(k);
        if (!m) {
            if (unknown) *unknown = k;
            return false;
        }
        out.push_back(m);
    }
    return true;
}

// An empty ORLICAM_SIM_CAMERAS connects no camera; an unknown key falls back to the default.
std::vector<const Model*> models_from_environment() {
    std::vector<const Model*> models;
    const char* env = std::getenv("ORLICAM_SIM_CAMERAS");
    std::string unknown;
    if (env && resolve(split_keys(env), models, &unknown)) return models;
    if (env) {
        std::string known;
        for (const Model& m : catalogue()) known += (known.empty() ? "" : ", ") + m.key;
        std::fprintf(stderr,
                     "orlicam simulator: ORLICAM_SIM_CAMERAS names an unknown camera model '%s' "
                     "(known: %s); connecting the default cameras\n",
                     unknown.c_str(), known.c_str());
    }
    resolve(default_camera_keys(), models, nullptr);
    return models;
}

}  // namespace

Library& Library::get() {
    static Library* lib = new Library();  // never destroyed: producer threads may outlive exit handlers
    return *lib;
}

Library::Library() : models_(models_from_environment()) {
    connect();
    pthread_atfork(&Library::before_fork, &Library::after_fork_parent, &Library::after_fork_child);
}

// Lock order: the library, then its cameras in turn, then the hooks and the clock.
void Library::before_fork() {
    Library& lib = get();
    lib.mu_.lock();
    for (auto& cam : lib.cameras_) cam->lock_for_fork();
    Hooks::get().lock_for_fork();
    lock_clock_for_fork();
}

void Library::after_fork_parent() {
    Library& lib = get();
    unlock_clock_after_fork();
    Hooks::get().unlock_after_fork();
    for (auto& cam : lib.cameras_) cam->unlock_after_fork();
    lib.mu_.unlock();
}

void Library::after_fork_child() {
    Library& lib = get();
    unlock_clock_after_fork();
    Hooks::get().unlock_after_fork();
    for (auto& cam : lib.cameras_) {
        cam->forget_threads_after_fork();
        cam->unlock_after_fork();
    }
    lib.mu_.unlock();
}

void Library::connect() {
    std::vector<std::shared_ptr<Camera>> old;
    {
        std::lock_guard lk(mu_);
        old.swap(cameras_);
        for (std::size_t i = 0; i < models_.size(); ++i)
            cameras_.push_back(std::make_shared<Camera>(*models_[i], static_cast<int>(i)));
    }
    // A caller still inside an old camera keeps it alive; it must not keep capturing.
    for (auto& cam : old) cam->shutdown();
}

std::shared_ptr<Camera> Library::camera(int id) const {
    std::lock_guard lk(mu_);
    if (id < 0 || id >= static_cast<int>(cameras_.size())) return nullptr;
    return cameras_[id];
}

int Library::count() const {
    std::lock_guard lk(mu_);
    return static_cast<int>(cameras_.size());
}

std::vector<std::string> Library::connected_keys() const {
    std::lock_guard lk(mu_);
    std::vector<std::string> keys;
    for (const Model* m : models_) keys.push_back(m->key);
    return keys;
}

bool Library::configure(const std::vector<std::string>& keys) {
    std::vector<const Model*> models;
    if (!resolve(keys, models, nullptr)) return false;
    {
        std::lock_guard lk(mu_);
        models_ = std::move(models);
    }
    reset();
    return true;
}

void Library::reset() {
    connect();
    Hooks::get().reset();
    set_seed(kDefaultSeed);
    set_time_scale(time_scale_by_default());
    set_paced(paced_by_default());
    sdk_version_ = kDefaultSdkVersion;
}

void Library::set_sdk_version(const char* raw, std::size_t len) {
    if (!raw) {
        sdk_version_ = nullptr;
        return;
    }
    std::lock_guard lk(mu_);
    versions_.emplace_back(raw, len);
    sdk_version_ = versions_.back().c_str();
}

}  // namespace camsim
