# The front door: `make run` runs the reference host against the built-in simulator,
# `make test` installs what is missing, builds and runs every test.
.PHONY: run test

run:
	@scripts/install-deps host
	@cmake --preset host >/dev/null
	@cmake --build --preset host --target mpx23-host
	@build/host/host/mpx23-host --demo

test:
	@scripts/install-deps host
	@cmake --workflow --preset host
