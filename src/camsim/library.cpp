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
    faults_from_environment();
    pthread_atfork(&Library::before_fork, &Library::after_fork_parent, &Library::after_fork_child);
}

// Lock order: the library, then its cameras in turn, then the hooks and the clock.
void Library::before_fork() {
    Library& lib = get();
    lib.mu_.lock();
    for (auto& cam : lib.cameras_) cam->lock_for_fork();
    Hooks::get().lock_for_fork();
    lock_clock_for_fork();
    FaultLog::get().lock_for_fork();
}

void Library::after_fork_parent() {
    Library& lib = get();
    FaultLog::get().unlock_after_fork();
    unlock_clock_after_fork();
    Hooks::get().unlock_after_fork();
    for (auto& cam : lib.cameras_) cam->unlock_after_fork();
    lib.mu_.unlock();
}

void Library::after_fork_child() {
    Library& lib = get();
    FaultLog::get().unlock_after_fork();
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
        order_.clear();
        unplugs_.clear();
        for (std::size_t i = 0; i < models_.size(); ++i) {
            cameras_.push_back(std::make_shared<Camera>(*models_[i], static_cast<int>(i)));
            order_.push_back(static_cast<int>(i));
        }
    }
    // A caller still inside an old camera keeps it alive; it must not keep capturing.
    for (auto& cam : old) cam->shutdown();
}

std::shared_ptr<Camera> Library::camera(int id) {
    std::lock_guard lk(mu_);
    tick();
    if (id < 0 || id >= static_cast<int>(cameras_.size())) return nullptr;
    return cameras_[id];
}

std::shared_ptr<Camera> Library::camera_at(int index) {
    std::lock_guard lk(mu_);
    tick();
    if (index < 0 || index >= static_cast<int>(order_.size())) return nullptr;
    return cameras_[order_[index]];
}

int Library::count() {
    std::lock_guard lk(mu_);
    tick();
    return static_cast<int>(order_.size());
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

// A reset camera is one just connected, in this process and for the next ones: its saved
// state goes, unless another process has it open.
void Library::reset() {
    connect();
    std::vector<std::string> serials;
    {
        std::lock_guard lk(mu_);
        for (auto& cam : cameras_) serials.push_back(cam->serial_text());
    }
    for (const std::string& serial : serials) machine::forget(serial);
    faults_from_environment();
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

// --- faults -----------------------------------------------------------------------

void Library::faults_from_environment() {
    const char* env = std::getenv("ORLICAM_SIM_FAULTS");
    std::string error;
    if (set_faults(env ? env : "", &error)) return;
    std::lock_guard lk(mu_);
    if (error == reported_) return;
    reported_ = error;
    std::fprintf(stderr, "orlicam simulator: ORLICAM_SIM_FAULTS: %s; playing no faults\n", error.c_str());
}

bool Library::set_faults(std::string_view text, std::string* error, bool restart_log) {
    int cameras = 0;
    {
        std::lock_guard lk(mu_);
        cameras = static_cast<int>(cameras_.size());
    }
    auto plan = parse_faults(text, cameras, error);
    play(plan ? std::move(*plan) : FaultPlan{}, restart_log);
    return plan.has_value();
}

void Library::play(FaultPlan plan, bool restart_log) {
    std::lock_guard lk(mu_);
    if (restart_log) FaultLog::get().restart();
    const double origin = FaultLog::get().origin();
    for (std::size_t id = 0; id < cameras_.size(); ++id) {
        if (!cameras_[id]->removed()) continue;
        cameras_[id]->replug();
        order_.push_back(static_cast<int>(id));
    }
    unplugs_.clear();
    std::vector<std::vector<Fault>> per_camera(cameras_.size());
    for (const Fault& f : plan.faults) {
        if (f.camera < 0 || f.camera >= static_cast<int>(cameras_.size())) continue;  // reconfigured since
        if (f.kind == Fault::Kind::Unplug)
            unplugs_.push_back({f});
        else
            per_camera[static_cast<std::size_t>(f.camera)].push_back(f);
    }
    for (std::size_t i = 0; i < cameras_.size(); ++i)
        cameras_[i]->set_faults(std::move(per_camera[i]), plan.seed, origin);
}

// Lazily, at each call: nobody can see a camera leave or return but through a call.
void Library::tick() {
    if (unplugs_.empty()) return;
    const double now = FaultLog::get().elapsed();
    for (Unplug& u : unplugs_) {
        const int id = u.rule.camera;
        Camera& cam = *cameras_[static_cast<std::size_t>(id)];
        if (u.state == Unplug::Waiting) {
            bool due = u.rule.at ? now >= *u.rule.at : cam.exposures_ended() >= *u.rule.after;
            if (!due) continue;
            u.out_at = u.rule.at ? *u.rule.at : now;
            if (cam.removed()) {  // out already, by another rule
                u.state = Unplug::Done;
                continue;
            }
            std::erase(order_, id);
            cam.unplug();
            char what[64];
            std::snprintf(what, sizeof what, u.rule.duration ? "unplugged for %g s" : "unplugged", u.rule.duration.value_or(0.0));
            FaultLog::get().add_at(u.out_at, id, what);
            u.state = u.rule.duration ? Unplug::Out : Unplug::Done;
        }
        if (u.state == Unplug::Out && now >= u.out_at + *u.rule.duration) {
            cam.replug();
            order_.push_back(id);
            FaultLog::get().add_at(u.out_at + *u.rule.duration, id, "back");
            u.state = Unplug::Done;
        }
    }
}

}  // namespace camsim
