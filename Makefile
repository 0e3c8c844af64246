# make run   installs what is missing, builds and starts the program
# make test  installs what is missing, builds and runs every test

BUILD_DIR ?= build
JOBS ?= $(shell nproc)

# Debian packages the build, the tests and the end-to-end suite need.
PACKAGES := cmake make g++ qt6-base-dev qt6-base-dev-tools libgl-dev \
            googletest libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev \
            xvfb xauth openbox xdotool x11-utils fonts-dejavu-core

.PHONY: run test build configure deps clean

run: build
	$(BUILD_DIR)/quorrel

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

# Installs only the packages that are not there yet, so a ready machine skips apt.
deps:
	@missing=""; \
	for p in $(PACKAGES); do \
		dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
		echo "Installing:$$missing"; \
		apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	fi

clean:
	rm -rf $(BUILD_DIR)
