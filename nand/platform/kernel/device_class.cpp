// The registry of device classes and the outside access to their attributes.
#include "platform/kernel/device_class.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace {

constexpr size_t kAttrBufferSize = 4096;
constexpr unsigned short kReadBits = 0444;
constexpr unsigned short kWriteBits = 0222;

struct Entry {
  device_class* cls;
  unsigned int running = 0;  // attribute operations in progress, under g_mutex
};

std::mutex g_mutex;
std::condition_variable g_idle;  // an entry's `running` fell to 0
std::map<std::string, std::shared_ptr<Entry>> g_classes;

// Holds a class against unregistration while one attribute operation runs.
class ClassUse {
 public:
  explicit ClassUse(const std::string& class_name) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_classes.find(class_name);
    if (it == g_classes.end()) return;
    entry_ = it->second;
    ++entry_->running;
  }
  ~ClassUse() {
    if (!entry_) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (--entry_->running == 0) g_idle.notify_all();
  }
  ClassUse(const ClassUse&) = delete;
  ClassUse& operator=(const ClassUse&) = delete;

  device_class* cls() const { return entry_ ? entry_->cls : nullptr; }

 private:
  std::shared_ptr<Entry> entry_;
};

class_attribute* find_attr(device_class* cls, const std::string& attr_name) {
  if (cls->class_attrs == nullptr) return nullptr;
  for (class_attribute* attr = cls->class_attrs; attr->name != nullptr; ++attr) {
    if (attr_name == attr->name) return attr;
  }
  return nullptr;
}

}  // namespace

int class_register(device_class* cls) {
  if (cls == nullptr || cls->name == nullptr || cls->name[0] == '\0') return -EINVAL;
  std::lock_guard<std::mutex> lock(g_mutex);
  auto [it, inserted] = g_classes.try_emplace(cls->name, nullptr);
  if (!inserted) return -EEXIST;
  it->second = std::make_shared<Entry>(Entry{cls});
  return 0;
}

void class_unregister(device_class* cls) {
  std::unique_lock<std::mutex> lock(g_mutex);
  auto it = std::find_if(g_classes.begin(), g_classes.end(),
                         [cls](const auto& named) { return named.second->cls == cls; });
  if (it == g_classes.end()) return;
  std::shared_ptr<Entry> entry = it->second;
  g_classes.erase(it);
  g_idle.wait(lock, [&] { return entry->running == 0; });
}

int class_attr_read(const std::string& class_name, const std::string& attr_name, std::string* out,
                    bool privileged) {
  ClassUse use(class_name);
  if (use.cls() == nullptr) return -ENOENT;
  class_attribute* attr = find_attr(use.cls(), attr_name);
  if (attr == nullptr) return -ENOENT;
  if (!privileged && (attr->mode & kReadBits) == 0) return -EACCES;
  if (attr->show == nullptr) return -EIO;
  std::vector<char> buf(kAttrBufferSize, '\0');
  ssize_t n = attr->show(use.cls(), attr, buf.data());
  if (n < 0) return static_cast<int>(n);
  out->assign(buf.data(), std::min(static_cast<size_t>(n), kAttrBufferSize));
  return 0;
}

int class_attr_write(const std::string& class_name, const std::string& attr_name,
                     const std::string& text, bool privileged) {
  ClassUse use(class_name);
  if (use.cls() == nullptr) return -ENOENT;
  class_attribute* attr = find_attr(use.cls(), attr_name);
  if (attr == nullptr) return -ENOENT;
  if (!privileged && (attr->mode & kWriteBits) == 0) return -EACCES;
  if (attr->store == nullptr) return -EIO;
  const size_t count = std::min(text.size(), kAttrBufferSize - 1);
  std::vector<char> buf(kAttrBufferSize, '\0');
  std::memcpy(buf.data(), text.data(), count);
  ssize_t n = attr->store(use.cls(), attr, buf.data(), count);
  return n < 0 ? static_cast<int>(n) : 0;
}

std::vector<std::string> class_list() {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::vector<std::string> names;
  for (const auto& named : g_classes) names.push_back(named.first);
  return names;
}

int class_attr_list(const std::string& class_name, std::vector<class_attr_info>* out) {
  ClassUse use(class_name);
  if (use.cls() == nullptr) return -ENOENT;
  out->clear();
  if (use.cls()->class_attrs == nullptr) return 0;
  for (class_attribute* attr = use.cls()->class_attrs; attr->name != nullptr; ++attr) {
    out->push_back({attr->name, attr->mode, attr->show != nullptr, attr->store != nullptr});
  }
  return 0;
}
