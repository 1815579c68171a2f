// The system's location service over D-Bus (system bus, org.freedesktop.GeoClue2).
//
// Every blocking D-Bus call runs on the source's private serial queue; the connection's event
// loop runs on a thread of our own inside a try/catch (a lost bus ends the loop with an
// exception, which we turn into "unavailable" instead of letting it end the process). Signal
// callbacks run holding the connection's lock: they only copy their arguments and post to the
// private queue. After its calls, each task on the private queue dispatches the messages its
// calls read off the socket, so no signal waits for an event loop that will not wake.
#include <VemraPlatformKit/platform/location/LocationSource.h>

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>

#include <sdbus-c++/sdbus-c++.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <map>
#include <thread>

namespace vpk {

namespace {

const char* const kService = "org.freedesktop.GeoClue2";
const char* const kManagerPath = "/org/freedesktop/GeoClue2/Manager";
const char* const kManagerInterface = "org.freedesktop.GeoClue2.Manager";
const char* const kClientInterface = "org.freedesktop.GeoClue2.Client";
const char* const kLocationInterface = "org.freedesktop.GeoClue2.Location";
const char* const kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr auto kCallTimeout = std::chrono::seconds(5);

// The service's accuracy levels.
uint32_t accuracyLevel(double metres) {
  if (metres <= 100) return 8;     // exact (also "best", a negative number)
  if (metres <= 1000) return 6;    // street
  if (metres <= 10000) return 4;   // city
  return 1;                        // country
}

bool isAccessDenied(const sdbus::Error& e) {
  return e.getName() == "org.freedesktop.DBus.Error.AccessDenied";
}

class GeoClueLocationSource : public LocationSource {
 public:
  GeoClueLocationSource(std::string desktopId, DispatchQueuePtr delegateQueue)
      : LocationSource(std::move(delegateQueue)),
        desktopId_(std::move(desktopId)),
        worker_(DispatchQueue::createSerial("com.vemra.vpk.location")) {}

  ~GeoClueLocationSource() override { disconnect(); }

  void startUpdatingLocation() override {
    onWorker([](GeoClueLocationSource& self) {
      self.wantUpdates_ = true;
      self.startClient();
    });
  }

  void stopUpdatingLocation() override {
    onWorker([](GeoClueLocationSource& self) {
      self.wantUpdates_ = false;
      self.stopClient();
    });
  }

  LocationAuthorization authorizationStatus() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
  }

  std::string unavailableReason() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return reason_;
  }

  void requestWhenInUseAuthorization() override {
    // Starting the client is the request: the service asks its agent (or its configuration)
    // whether this application may know where it is.
    onWorker([](GeoClueLocationSource& self) {
      self.startClient();
      if (!self.wantUpdates_) self.stopClient();
    });
  }

 private:
  template <typename F>
  void onWorker(F f) {
    std::weak_ptr<LocationSource> weak = weak_from_this();
    worker_->async([weak, f] {
      if (auto self = weak.lock()) {
        auto& source = static_cast<GeoClueLocationSource&>(*self);
        f(source);
        source.dispatchQueuedMessages();
      }
    });
  }

  // A blocking call reads everything that arrives while it waits for its reply; signals among
  // that sit in the connection's queue, and the event loop, asleep on a socket that has nothing
  // more to read, would not see them. So whoever made the calls dispatches them.
  void dispatchQueuedMessages() {
    if (!connection_) return;
    try {
      while (connection_->processPendingRequest()) {
      }
    } catch (const std::exception& e) {
      VPKLog(0, "Location service: {}", e.what());
    }
  }

  void setStatus(LocationAuthorization status, std::string reason) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      reason_ = std::move(reason);
      if (status_ == status) return;
      status_ = status;
    }
    postAuthorizationChange(status);
  }

  // ---- worker queue only ----
  bool connect() {
    if (client_) return true;
    try {
      connection_ = sdbus::createSystemBusConnection();
      connection_->setMethodCallTimeout(kCallTimeout);
      auto manager = sdbus::createProxy(*connection_, kService, kManagerPath);
      const uint32_t available = manager->getProperty("AvailableAccuracyLevel").onInterface(kManagerInterface);
      if (available == 0) {
        setStatus(LocationAuthorization::Denied, "location services are switched off on this machine");
        disconnect();
        return false;
      }
      sdbus::ObjectPath clientPath;
      manager->callMethod("GetClient").onInterface(kManagerInterface).storeResultsTo(clientPath);
      client_ = sdbus::createProxy(*connection_, kService, clientPath);
      client_->uponSignal("LocationUpdated")
          .onInterface(kClientInterface)
          .call([this](const sdbus::ObjectPath&, const sdbus::ObjectPath& now) {
            std::string path = now;
            onWorker([path](GeoClueLocationSource& self) { self.readLocation(path); });
          });
      client_->uponSignal("PropertiesChanged")
          .onInterface(kPropertiesInterface)
          .call([this](const std::string& interface, const std::map<std::string, sdbus::Variant>& changed,
                             const std::vector<std::string>&) {
            auto it = changed.find("Active");
            if (interface != kClientInterface || it == changed.end()) return;
            bool active = false;
            try {
              active = it->second.get<bool>();
            } catch (const std::exception&) {
              return;
            }
            onWorker([active](GeoClueLocationSource& self) { self.activeChanged(active); });
          });
      client_->finishRegistration();
      client_->setProperty("DesktopId").onInterface(kClientInterface).toValue(desktopId_);
      sdbus::IConnection* connection = connection_.get();
      loop_ = std::thread([this, connection] {
        try {
          connection->enterEventLoop();
        } catch (const std::exception& e) {
          std::string why = std::string("lost the system bus: ") + e.what();
          onWorker([why](GeoClueLocationSource& self) {
            self.disconnect();
            self.setStatus(LocationAuthorization::Restricted, why);
          });
        }
      });
      return true;
    } catch (const sdbus::Error& e) {
      VPKLog(0, "Location service: {} ({})", e.getMessage(), e.getName());
      setStatus(LocationAuthorization::Restricted, "no location service: " + e.getMessage());
    } catch (const std::exception& e) {
      setStatus(LocationAuthorization::Restricted, std::string("no location service: ") + e.what());
    }
    disconnect();
    return false;
  }

  void disconnect() {
    if (connection_ && loop_.joinable()) {
      try {
        connection_->leaveEventLoop();
      } catch (const std::exception&) {
      }
    }
    if (loop_.joinable()) {
      if (loop_.get_id() == std::this_thread::get_id()) loop_.detach();
      else loop_.join();
    }
    client_.reset();
    connection_.reset();
    clientActive_ = false;
    lastPath_.clear();
  }

  void startClient() {
    if (clientActive_) {
      // Each tick also checks that the client still runs, in case the notice that the service
      // stopped it never reached us.
      activeChanged(false);
      return;
    }
    if (!connect()) return;
    try {
      client_->setProperty("DistanceThreshold").onInterface(kClientInterface)
          .toValue(static_cast<uint32_t>(std::min(distanceFilter(), 4.0e9)));
      client_->setProperty("RequestedAccuracyLevel").onInterface(kClientInterface)
          .toValue(accuracyLevel(desiredAccuracy()));
      client_->callMethod("Start").onInterface(kClientInterface);
      clientActive_ = true;
      setStatus(LocationAuthorization::AuthorizedWhenInUse, {});
      const sdbus::ObjectPath current = client_->getProperty("Location").onInterface(kClientInterface);
      if (wantUpdates_ && current != "/") readLocation(current);
    } catch (const sdbus::Error& e) {
      if (isAccessDenied(e)) {
        setStatus(LocationAuthorization::Denied, "the location service refused this application: " + e.getMessage());
      } else {
        VPKLog(0, "Location service: {} ({})", e.getMessage(), e.getName());
        disconnect();  // the next request starts afresh (the service may have restarted)
        setStatus(LocationAuthorization::Restricted, "location service failed: " + e.getMessage());
      }
    }
  }

  void stopClient() {
    if (!clientActive_ || !client_) return;
    clientActive_ = false;
    lastPath_.clear();
    try {
      client_->callMethod("Stop").onInterface(kClientInterface);
    } catch (const sdbus::Error& e) {
      VPKLog(0, "Location service: stop failed: {}", e.getMessage());
    }
  }

  void activeChanged(bool active) {
    // The service stopped a client we had started: the user (or its agent) took access away.
    // The notice of our own earlier Stop may arrive after a new Start, so the property is
    // read back before believing it.
    if (active || !clientActive_ || !client_) return;
    try {
      if (client_->getProperty("Active").onInterface(kClientInterface).get<bool>()) return;
    } catch (const std::exception& e) {
      VPKLog(0, "Location service: cannot read the client's state: {}", e.what());
    }
    clientActive_ = false;
    lastPath_.clear();
    setStatus(LocationAuthorization::Denied, "the location service stopped this application's updates");
  }

  void readLocation(const std::string& path) {
    if (!clientActive_ || !wantUpdates_ || !connection_ || path == lastPath_) return;
    try {
      auto location = sdbus::createProxy(*connection_, kService, path);
      LocationFix fix;
      fix.latitude = location->getProperty("Latitude").onInterface(kLocationInterface);
      fix.longitude = location->getProperty("Longitude").onInterface(kLocationInterface);
      fix.horizontalAccuracy = location->getProperty("Accuracy").onInterface(kLocationInterface);
      const auto stamp = location->getProperty("Timestamp").onInterface(kLocationInterface)
                             .get<sdbus::Struct<uint64_t, uint64_t>>();
      fix.timestamp = static_cast<double>(std::get<0>(stamp)) + static_cast<double>(std::get<1>(stamp)) / 1e6 -
                      kReferenceDateOffset;
      if (!fix.isValid() || !std::isfinite(fix.timestamp)) {
        VPKLog(0, "Location service: ignoring an invalid fix at {}", path);
        return;
      }
      lastPath_ = path;
      postLocations({fix});
    } catch (const std::exception& e) {
      VPKLog(0, "Location service: cannot read {}: {}", path, e.what());
    }
  }

  std::string desktopId_;
  DispatchQueuePtr worker_;
  // Worker queue only (and the destructor, once no task can run).
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IProxy> client_;
  std::thread loop_;
  bool wantUpdates_ = false;
  bool clientActive_ = false;
  std::string lastPath_;
  // Read from any thread.
  mutable std::mutex mutex_;
  LocationAuthorization status_ = LocationAuthorization::NotDetermined;
  std::string reason_;
};

}  // namespace

std::shared_ptr<LocationSource> LocationSource::createSystemSource(std::string desktopId, DispatchQueuePtr delegateQueue) {
  if (desktopId.empty()) desktopId = program_invocation_short_name;
  return std::make_shared<GeoClueLocationSource>(std::move(desktopId), std::move(delegateQueue));
}

}  // namespace vpk
