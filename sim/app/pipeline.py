# The sample application's processing chain on the camera's modules: a stereo pair from the
# capture channels, rectified by the resampler with tables from the calibration minimiser,
# block-matching disparity, and a median background model on the disparity giving the
# foreground. On a simulated camera it also feeds the sensors a stereo scene.
import ctypes
import math
import os
import struct
import time
import zlib

import numpy as np

WIDTH, HEIGHT = 320, 240
FOCAL = 300.0  # pixels; the simulated head's lens
CANDIDATES = list(range(16))  # disparities tried, 0 .. 15 pixels
BOX, MARGIN = 15, 50
SCALE = 255 // CANDIDATES[-1]  # disparity to grey level in the saved picture
# Grey levels per frame that the background models move: slow enough that someone walking
# by does not become background.
MODEL_STEP = 0.25


def write_png(path, rows, width, height):
    """An 8-bit greyscale PNG, written under a temporary name and renamed into place."""
    raw = b"".join(b"\0" + rows[y * width:(y + 1) * width] for y in range(height))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff))
    data = (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))
    tmp = "%s.%d.tmp" % (path, os.getpid())
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def euler(a, b, c):
    """Rx(a) . Rz(c) . Ry(b), the rotation order of the calibration's angles."""
    ca, sa, cb, sb, cc, sc = math.cos(a), math.sin(a), math.cos(b), math.sin(b), \
        math.cos(c), math.sin(c)
    rx = np.array([[1, 0, 0], [0, ca, -sa], [0, sa, ca]])
    ry = np.array([[cb, 0, sb], [0, 1, 0], [-sb, 0, cb]])
    rz = np.array([[cc, -sc, 0], [sc, cc, 0], [0, 0, 1]])
    return rx @ rz @ ry


def camera_matrix():
    return np.array([[FOCAL, 0, WIDTH / 2.0], [0, FOCAL, HEIGHT / 2.0], [0, 0, 1]])


class SimulatedScene:
    """A floor of texture at 4 pixels of disparity and a person at 12 walking across, seen
    by a right camera that is tilted and rolled against the left one."""

    FLOOR, PERSON = 4, 12

    def __init__(self, drivers, seed=7):
        self.drivers = drivers
        rng = np.random.default_rng(seed)
        noise = rng.integers(20, 236, size=(HEIGHT + 2, WIDTH + 64), dtype=np.int32)
        # A little smoothing, so that the texture survives the resampler's interpolation.
        floor = (noise[:-2] + noise[1:-1] + noise[2:]) // 3
        self.floor = floor.astype(np.uint8)
        body = rng.integers(150, 256, size=(90, 48), dtype=np.int32)
        self.body = ((body + np.roll(body, 1, 1)) // 2).astype(np.uint8)
        # Where each pixel of the right sensor looks in the ideal, aligned right view.
        k = camera_matrix()
        misalign = euler(0.012, 0.0, 0.015)  # tilt and roll of the right camera
        h_inv = k @ misalign.T @ np.linalg.inv(k)
        v, u = np.mgrid[0:HEIGHT, 0:WIDTH]
        p = np.stack([u.ravel(), v.ravel(), np.ones(u.size)])
        q = h_inv @ p
        shape = (HEIGHT, WIDTH)
        self.map_x = np.clip(np.rint(q[0] / q[2]), 0, WIDTH - 1).astype(np.intp).reshape(shape)
        self.map_y = np.clip(np.rint(q[1] / q[2]), 0, HEIGHT - 1).astype(np.intp).reshape(shape)
        self.frame = 0

    def views(self):
        """The left and right sensor images of the current frame."""
        left = np.ascontiguousarray(self.floor[:, 16:16 + WIDTH])
        right = np.ascontiguousarray(self.floor[:, 16 + self.FLOOR:16 + self.FLOOR + WIDTH])
        # The person walks to and fro across the middle of the picture.
        span = WIDTH - 48 - 2 * self.PERSON - 40
        step = (self.frame * 6) % (2 * span)
        x = 20 + self.PERSON + (step if step < span else 2 * span - step)
        y = 80
        left[y:y + 90, x:x + 48] = self.body
        right[y:y + 90, x - self.PERSON:x - self.PERSON + 48] = self.body
        return left, np.ascontiguousarray(right[self.map_y, self.map_x])

    def feed(self):
        """Puts the next frame on both sensors and lets the drivers deliver it as a pair."""
        left, right = self.views()
        d = self.drivers
        d.devsim_cam_set_sensor(0, WIDTH, HEIGHT, left.ctypes.data_as(ctypes.c_void_p))
        d.devsim_cam_set_sensor(1, WIDTH, HEIGHT, right.ctypes.data_as(ctypes.c_void_p))
        now = time.monotonic()
        sec, usec = int(now), int((now % 1) * 1e6)
        d.devsim_cam_fill(0, -1, sec, usec, sec, usec)
        d.devsim_cam_fill(1, -1, sec, usec, sec, usec)
        self.frame += 1


def simulated_drivers():
    """The simulated capture drivers' control functions when they are loaded, else None (on a
    camera the sensors run by themselves)."""
    try:
        process = ctypes.CDLL(None)
        fill = process.devsim_cam_fill
    except (OSError, AttributeError):
        return None
    fill.argtypes = [ctypes.c_int] * 6
    process.devsim_cam_set_sensor.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                             ctypes.c_void_p]
    return process


def correspondences(left, right, step=30, half=6, search_x=(-20, 4), search_y=8):
    """Matches of textured patches of the left image in the right one: (xl, yl, xr, yr)."""
    out = []
    lo_x, hi_x = search_x
    for y in range(half + search_y + 10, HEIGHT - half - search_y - 10, step):
        for x in range(half - lo_x + 10, WIDTH - half - hi_x - 10, step):
            patch = left[y - half:y + half + 1, x - half:x + half + 1].astype(np.int32)
            if patch.std() < 8:
                continue
            region = right[y - half - search_y:y + half + search_y + 1,
                           x - half + lo_x:x + half + hi_x + 1].astype(np.int32)
            windows = np.lib.stride_tricks.sliding_window_view(region, patch.shape)
            sad = np.abs(windows - patch).sum(axis=(2, 3))
            best = np.unravel_index(np.argmin(sad), sad.shape)
            # The best match must stand out from every offset but its own neighbours.
            others = sad.copy()
            others[max(0, best[0] - 1):best[0] + 2, max(0, best[1] - 1):best[1] + 2] = sad.max()
            if others.min() < sad[best] * 1.3 + 1:
                continue
            out.append((x, y, x + lo_x + best[1], y - search_y + best[0]))
    return out


class Pipeline:
    def __init__(self, say, out_dir, every=3.0):
        import _orvex_video
        from stereo import _disparity, _rectification, _sievel
        self.video, self.rect, self.disp, self.sievel = (_orvex_video, _rectification,
                                                         _disparity, _sievel)
        self.say = say
        self.out_dir = out_dir
        self.every = every
        self.drivers = simulated_drivers()
        self.scene = SimulatedScene(self.drivers) if self.drivers is not None else None
        v = self.video.lib
        self.cam = v.create_camera(8, WIDTH, HEIGHT, 0, WIDTH, 0, HEIGHT, WIDTH, HEIGHT)
        self.ue = v.create_user_encode(WIDTH, HEIGHT, WIDTH, HEIGHT, 16, 8)
        self.sb = self.disp.lib.sadbox_init(WIDTH, HEIGHT, 0, CANDIDATES[-1], BOX, MARGIN)
        if self.cam == self.video.ffi.NULL or self.ue == self.video.ffi.NULL or \
                self.sb == self.disp.ffi.NULL:
            raise RuntimeError("could not set up the camera, resampler or matcher")
        self.rect_left = np.zeros((HEIGHT, WIDTH), np.uint8)
        self.rect_right = np.zeros((HEIGHT, WIDTH), np.uint8)
        self.disparity = np.zeros((HEIGHT, WIDTH), np.uint8)
        self.lower = None
        self.upper = None
        self.foreground = np.zeros((HEIGHT, WIDTH), np.uint8)
        self.frames = 0
        self.last_saved = None
        self.calibrated = False

    def close(self):
        v = self.video
        if self.ue != v.ffi.NULL:
            v.lib.free_user_encode(self.ue)
        if self.cam != v.ffi.NULL:
            v.lib.free_camera(self.cam)
        holder = self.disp.ffi.new("struct sadbox **", self.sb)
        self.disp.lib.sadbox_free(holder)

    def pair(self):
        """The next stereo pair as two arrays (copies), the frames handed back at once."""
        v = self.video
        if self.scene is not None:
            self.scene.feed()
        p = v.lib.cap_get_stereo_frame(self.cam.left, self.cam.right)
        if p == v.ffi.NULL:
            return None
        size = WIDTH * HEIGHT
        left = np.frombuffer(v.ffi.buffer(v.lib.cap_get_data(self.cam.left, p.left), size),
                             np.uint8).reshape(HEIGHT, WIDTH).copy()
        right = np.frombuffer(v.ffi.buffer(v.lib.cap_get_data(self.cam.right, p.right), size),
                              np.uint8).reshape(HEIGHT, WIDTH).copy()
        v.lib.cap_return_stereo_frame(self.cam.left, self.cam.right, p)
        return left, right

    def calibrate(self, left, right):
        """Finds the rotations that put matching points on the same row and loads the
        resampler's two tables (0: left, 1: right) with them."""
        matches = correspondences(left, right)
        if len(matches) < 12:
            return False
        r = self.rect
        corr = r.ffi.new("correspondence[]", len(matches))
        rows_before = []
        for i, (xl, yl, xr, yr) in enumerate(matches):
            corr[i].left.x = (xl - WIDTH / 2.0) / FOCAL
            corr[i].left.y = (yl - HEIGHT / 2.0) / FOCAL
            corr[i].right.x = (xr - WIDTH / 2.0) / FOCAL
            corr[i].right.y = (yr - HEIGHT / 2.0) / FOCAL
            corr[i].score = 1.0
            rows_before.append(abs(yl - yr))
        x = r.ffi.new("double[6]")
        minf = r.ffi.new("double *")
        # Pan only shifts the disparities: kept near zero. Tilt and roll are free.
        lb = r.ffi.new("double[6]", [-0.002, -0.1, -0.1, -0.002, -0.1, -1.0])
        ub = r.ffi.new("double[6]", [0.002, 0.1, 0.1, 0.002, 0.1, 1.0])
        r.lib.minimize(6, x, 3000, minf, len(matches), corr, lb, ub, WIDTH, HEIGHT,
                       r.lib.get_generated_cost_fun())
        angles = [x[i] for i in range(6)]
        rl = euler(-angles[2] / 2, angles[0], angles[1])
        rr = euler(angles[2] / 2, angles[3], angles[4])
        k = camera_matrix()
        k_inv = np.linalg.inv(k)
        rows_after = []
        for xl, yl, xr, yr in matches:
            pl = rl @ k_inv @ np.array([xl, yl, 1.0])
            pr = rr @ k_inv @ np.array([xr, yr, 1.0])
            rows_after.append(abs(FOCAL * (pl[1] / pl[2] - pr[1] / pr[2])))
        ue = self.ue
        nx, ny, stride = ue.tab_dim_x, ue.tab_dim_y, ue.tab_stride
        gy, gx = np.mgrid[0:ny, 0:nx]
        nodes = np.stack([gx.ravel() * stride, gy.ravel() * stride, np.ones(nx * ny)])
        for table, rot in ((0, rl), (1, rr)):
            src = k @ rot.T @ k_inv @ nodes  # where each rectified node looks in the frame
            xs = np.ascontiguousarray(src[0] / src[2], dtype=np.float64)
            ys = np.ascontiguousarray(src[1] / src[2], dtype=np.float64)
            self.video.lib.set_user_encode_table(
                ue, table, self.video.ffi.from_buffer("double[]", xs),
                self.video.ffi.from_buffer("double[]", ys))
        self.say("pipeline: calibrated on %d matches: row difference %.2f px before, %.2f px "
                 "after (tilt %.4f, roll %.4f rad)"
                 % (len(matches), float(np.median(rows_before)), float(np.median(rows_after)),
                    angles[2], angles[4] - angles[1]))
        return True

    def step(self):
        got = self.pair()
        if got is None:
            return False
        left, right = got
        if not self.calibrated:
            self.calibrated = self.calibrate(left, right)
            if not self.calibrated:
                return True
        vf = self.video.ffi
        v = self.video.lib
        v.user_encode_frame(self.ue, 0, vf.from_buffer("uint8_t[]", left),
                            vf.from_buffer("uint8_t[]", self.rect_left, require_writable=True),
                            WIDTH, HEIGHT)
        v.user_encode_frame(self.ue, 1, vf.from_buffer("uint8_t[]", right),
                            vf.from_buffer("uint8_t[]", self.rect_right, require_writable=True),
                            WIDTH, HEIGHT)
        df = self.disp.ffi
        self.disp.lib.sadbox_disp(self.sb, df.from_buffer("uint8_t[]", self.disparity,
                                                          require_writable=True),
                                  df.from_buffer("uint8_t[]", self.rect_left),
                                  df.from_buffer("uint8_t[]", self.rect_right),
                                  len(CANDIDATES), CANDIDATES)
        sf = self.sievel.ffi
        s = self.sievel.lib
        if self.lower is None:
            self.lower = self.disparity.copy()
            self.upper = self.disparity.copy()

        def buf(a, writable=False):
            return sf.from_buffer("uint8_t[]", a, require_writable=writable)
        # The median and the 60th percentile of each pixel's disparity, moving slowly: someone
        # walking by covers a pixel too briefly to lift either, and stands out as nearer.
        disp = buf(self.disparity)
        s.median_model(buf(self.lower, True), disp, WIDTH, HEIGHT, MODEL_STEP, 0.5)
        s.median_model(buf(self.upper, True), disp, WIDTH, HEIGHT, MODEL_STEP, 0.6)
        s.median_sievel(buf(self.foreground, True), buf(self.lower), buf(self.upper), disp,
                        WIDTH, HEIGHT, 1.0)
        self.frames += 1
        now = time.monotonic()
        # The models start from the first frame, the person included: pictures wait until
        # the person has walked off that place.
        if self.frames >= 30 and (self.last_saved is None or now - self.last_saved >= self.every):
            self.save()
            self.last_saved = now
        return True

    def save(self):
        os.makedirs(self.out_dir, exist_ok=True)
        disparity = np.minimum(self.disparity.astype(np.int32) * SCALE, 255).astype(np.uint8)
        mask = np.where(self.foreground > 0, 255, 0).astype(np.uint8)
        write_png(os.path.join(self.out_dir, "left.png"), self.rect_left.tobytes(), WIDTH,
                  HEIGHT)
        write_png(os.path.join(self.out_dir, "disparity.png"), disparity.tobytes(), WIDTH,
                  HEIGHT)
        write_png(os.path.join(self.out_dir, "mask.png"), mask.tobytes(), WIDTH, HEIGHT)
        self.say("pipeline: frame %d: disparity and mask saved in %s (foreground %.1f%%)"
                 % (self.frames, self.out_dir, 100.0 * float((mask > 0).mean())))
