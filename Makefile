# The two commands of the README, and flashing. Each installs missing packages first.
BUILD ?= build
OUT ?= out
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
PORT ?= /dev/ttyUSB0
BAUD ?= 38400
XTAL_KHZ ?= 12000
ISPFLAGS ?=
LPCDEMO = $(BUILD)/tools/lpcdemo
WEB_PORT ?= 8000

.PHONY: all deps build web web-serve demo effects test fuzz flash clean fresh-check

all: build

deps:
	@tools/install-deps.sh

build: deps
	cmake --preset default
	cmake --build $(BUILD) -j$$(nproc)

# The static site: the native engine as WebAssembly, the page, the board's frame rates. Any static
# file server will do; web-serve serves it on this machine only.
web: build
	cmake --build $(BUILD) --target web_site

web-serve: web
	@echo "lpcdemo in a browser: http://127.0.0.1:$(WEB_PORT)/"
	python3 -m http.server --bind 127.0.0.1 -d $(BUILD)/web $(WEB_PORT)

# The image itself, on the emulated chip: the power-up demo as PNGs and a GIF that plays at the
# board's speed, every other effect as a GIF, then the cycle report. The effects are the
# catalogue's entries (one a line) but its first, the power-up effect that the demo shows.
CATALOGUE = firmware/effects/catalogue.h
EFFECTS = $$(sed -n 's/^ *{"\([a-z0-9]*\)", "[A-Za-z0-9_]*",.*/\1/p' $(CATALOGUE) | tail -n +2)
demo: web
	mkdir -p $(OUT)
	$(LPCDEMO) run --engine emulated --effect demo --png-dir $(OUT)/demo --gif $(OUT)/demo.gif
	for e in $(EFFECTS); do \
	  $(LPCDEMO) run --engine emulated --effect $$e --frames 150 --gif $(OUT)/$$e.gif || exit 1; \
	done
	$(LPCDEMO) run --engine emulated --effect showcase --frames 600 --scale 2 --gif $(OUT)/showcase.gif
	$(LPCDEMO) bench

# The effects `make demo` shows one by one.
effects:
	@echo $(EFFECTS)

test: web
	ctest --test-dir $(BUILD) --output-on-failure -j$$(nproc)

# Every libFuzzer target (fuzz/) for FUZZ_SECONDS each, built with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer; runs and reproducers go to $(FUZZ_BUILD)/runs.
fuzz: deps
	cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(FUZZ_BUILD) -j$$(nproc)
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_BUILD)/runs

# lpc21isp patches the vector checksum at 0x14 that the boot loader checks. The port is checked
# first: without one lpc21isp would only say that it cannot open it, and with a file that is no
# terminal it would fail and the hint would blame the wiring. The build says nothing unless it
# fails.
flash:
	@if [ ! -e "$(PORT)" ]; then \
	  echo "make flash: no serial port at $(PORT): connect the board's UART0 through a USB" \
	    "serial adapter, with its reset and P0.14 wired for the boot loader" \
	    "(ISPFLAGS=-control) or held by hand; or rehearse with" \
	    "'$(LPCDEMO) isp --port /tmp/lpc' and 'make flash PORT=/tmp/lpc'" >&2; \
	  exit 1; \
	fi
	@if [ ! -c "$(PORT)" ]; then \
	  echo "make flash: $(PORT) is no serial port: not a character device" >&2; \
	  exit 1; \
	fi
	@log=$$(mktemp) && { $(MAKE) --no-print-directory build >"$$log" 2>&1 || { \
	  cat "$$log" >&2; rm -f "$$log"; echo "make flash: the build failed" >&2; exit 1; }; } && \
	  rm -f "$$log"
	@lpc21isp $(ISPFLAGS) -hex $(BUILD)/image/lpcdemo.hex $(PORT) $(BAUD) $(XTAL_KHZ) || { \
	  echo "make flash: lpc21isp failed at $(PORT); if it only printed dots, no boot loader" \
	    "answered: the chip starts it only when P0.14 is low at reset (wire reset and P0.14" \
	    "to DTR/RTS and pass ISPFLAGS=-control, or hold P0.14 low and press reset)" >&2; \
	  exit 1; }

# The README's two commands on a bare Debian in a chroot, from a clone of the committed HEAD.
# Needs root (asks sudo otherwise); KEEP_FRESH=1 keeps the tree under build/fresh.
fresh-check:
	tools/fresh-check.sh

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD) $(OUT)
