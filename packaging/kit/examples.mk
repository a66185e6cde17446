# The example modules, built out of tree against the installed headers:
#   make            camera.so recorder.so console.so
#   make install    into the service's plugins/ (replacing a module safely)
CFLAGS ?= -O2 -g
override CFLAGS += -std=gnu11 -Wall -Wextra -fPIC $(shell pkg-config --cflags orvantis-module)
LDLIBS += -lpthread
PLUGINDIR ?= $(shell pkg-config --variable=plugindir orvantis-module)
MODULES = camera.so recorder.so console.so

all: $(MODULES)

camera.so recorder.so: frame.h

%.so: %.c
	$(CC) $(CPPFLAGS) $(CFLAGS) $(LDFLAGS) -shared -o $@ $< $(LDLIBS)

# install(1) unlinks the old file and writes a new one: a running service
# keeps the old library mapped until it restarts. cp would rewrite the mapped
# library in place under the running service, which crashes it.
install: $(MODULES)
	install -m 644 $(MODULES) $(DESTDIR)$(PLUGINDIR)/

clean:
	rm -f $(MODULES)

.PHONY: all install clean
