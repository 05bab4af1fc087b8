# The two commands of the README: `make run` and `make test`. Both install what is missing first.
BUILD ?= build
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all bootstrap build runtime run test install sanitize clean

all: build

# BOOTSTRAP=true skips it where the packages are looked after otherwise.
BOOTSTRAP ?= bash scripts/bootstrap.sh

bootstrap:
	@$(BOOTSTRAP)

$(BUILD)/build.ninja: CMakeLists.txt | bootstrap
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

build: bootstrap $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# Only what the demo runs: the commands and the Python modules, not the tests.
runtime: bootstrap $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target kestrune_runtime

run: runtime
	@bash scripts/demo.sh

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The sanitizer build lives in its own tree.
sanitize: bootstrap
	cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_SANITIZE=ON
	cmake --build build/sanitize -j $(JOBS)
	ctest --test-dir build/sanitize --output-on-failure -j $(JOBS)

# The package alone (commands, extension modules, their Python files) under
# PREFIX/lib/kestrune/kestrune, never the checkout's data/; the commands are
# linked into PREFIX/bin by relative links, so a moved prefix keeps working.
install: runtime
	cmake --install "$(BUILD)" --prefix "$(PREFIX)/lib/kestrune"
	mkdir -p "$(PREFIX)/bin"
	for cmd in "$(PREFIX)"/lib/kestrune/kestrune/bin/*; do \
	  name=$${cmd##*/}; ln -sfn "../lib/kestrune/kestrune/bin/$$name" "$(PREFIX)/bin/$$name"; done
	@echo "Installed. Commands: $(PREFIX)/bin; Python: PYTHONPATH=$(PREFIX)/lib/kestrune"

clean:
	rm -rf $(BUILD)
