"""Test video with a clock burnt in, made by ffmpeg: a row of twelve boxes,
white for 1 and black for 0, holds a frame code, and a text line shows the
time for people. The code of a live stream is the wall clock in frames (25
a second) modulo 4096, so a viewer's latency is its clock minus the code of
the picture it shows; the code of a clip is its frame number.

code_at(gray, width, height) reads the code back from a picture's gray
bytes; page_reader_js is the same reader for a canvas in the browser."""
import time

FPS = 25
BITS = 12


def boxes(width, height):
    """(box width, box height, y of the row, x of bit k) of a picture size."""
    w, h = width // 16, height // 12
    return w, h, height - 2 * h, lambda k: (k + 2) * w


def burn_filter(width, height, wall_clock):
    """The -vf chain: with wall_clock the code is the wall clock's frame,
    otherwise the clip's frame number."""
    w, h, y, x = boxes(width, height)
    chain = ["setpts='RTCTIME/(TB*1000000)'"] if wall_clock else []
    chain.append("drawbox=x=%d:y=%d:w=%d:h=%d:color=black:t=fill" % (w, y - h // 2, 14 * w, 2 * h))
    clock = "t*%d" % FPS if wall_clock else "n"
    for k in range(BITS):
        chain.append("drawbox=x=%d:y=%d:w=%d:h=%d:color=white:t=fill:enable='eq(mod(floor(%s/%d),2),1)'"
                     % (x(k), y, w, h, clock, 2 ** k))
    text = "%{localtime\\:%T}" if wall_clock else "frame %{n}"
    chain.append("drawtext=text='%s':x=8:y=8:fontsize=%d:fontcolor=white:box=1:boxcolor=black" % (text, height // 10))
    if wall_clock:
        chain.append("setpts=N/(%d*TB)" % FPS)
    return ",".join(chain)


def code_at(gray, width, height):
    w, h, y, x = boxes(width, height)
    return sum(1 << k for k in range(BITS) if gray[(y + h // 2) * width + x(k) + w // 2] > 128)


def latency_seconds(code, now=None):
    """How long ago the wall clock frame `code` was, assuming under 160 s."""
    frames = int((now or time.time()) * FPS) % (1 << BITS)
    return ((frames - code) % (1 << BITS)) / FPS


def page_reader_js(width, height):
    """A script for WebDriver: draws the video element (first argument) on a
    canvas of the stream's size and returns [code, blank, its current time]
    of the picture."""
    w, h, y, x = boxes(width, height)
    return """
const video = arguments[0];
const canvas = document.createElement('canvas');
canvas.width = %d; canvas.height = %d;
const context = canvas.getContext('2d', {willReadFrequently: true});
context.drawImage(video, 0, 0, canvas.width, canvas.height);
const pixels = context.getImageData(0, 0, canvas.width, canvas.height).data;
const gray = (px, py) => { const i = 4 * (py * canvas.width + px); return (pixels[i] + pixels[i + 1] + pixels[i + 2]) / 3; };
let code = 0;
for (let k = 0; k < %d; k++) if (gray(%d * (k + 2) + %d, %d) > 128) code |= 1 << k;
let lo = 255, hi = 0;
for (let i = 0; i < pixels.length; i += 4 * 97) { lo = Math.min(lo, pixels[i]); hi = Math.max(hi, pixels[i]); }
return [code, hi - lo < 16, video.currentTime];
""" % (width, height, BITS, w, w // 2, y + h // 2)
