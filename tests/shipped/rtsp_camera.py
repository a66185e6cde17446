#!/usr/bin/env python3
"""A camera on loopback: GStreamer's RTSP server streaming a live H.264 test
pattern at rtsp://127.0.0.1:<port>/cam<n>, one encoder per mount.

Usage: rtsp_camera.py <port> <key-frame interval in frames> [mounts] [frames]
With `frames`, each mount sends that many frames from its first client's
start and then goes silent, with the connection left open: an end of stream
would tell the client "goodbye" over RTCP, which may overtake the last frame.
Prints "ready" once it listens; runs until killed."""
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

PIPELINE = ("( videotestsrc is-live=true pattern=ball %s ! video/x-raw,width=160,height=120,framerate=25/1 ! "
            "x264enc tune=zerolatency speed-preset=ultrafast sliced-threads=false threads=1 key-int-max=%d ! "
            "rtph264pay name=pay0 pt=96 config-interval=-1 )")


def keep_silent(_factory, media):
    """Drops the payloader's end of stream, after the encoder's last frame."""
    pad = media.get_element().get_by_name("pay0").get_static_pad("src")
    pad.add_probe(Gst.PadProbeType.EVENT_DOWNSTREAM,
                  lambda _pad, info: Gst.PadProbeReturn.DROP if info.get_event().type == Gst.EventType.EOS
                  else Gst.PadProbeReturn.OK)


def main():
    port, interval = sys.argv[1], int(sys.argv[2])
    mounts = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    frames = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(port)
    for n in range(mounts):
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch(PIPELINE % ("num-buffers=%d" % frames if frames else "", interval))
        factory.set_shared(True)
        if frames:
            factory.connect("media-configure", keep_silent)
        server.get_mount_points().add_factory("/cam%d" % n, factory)
    if server.attach(None) == 0:
        sys.exit("cannot listen on port %s" % port)
    print("ready", flush=True)
    GLib.MainLoop().run()


main()
