import numpy as np, tarvo

with tarvo.Device() as cam:                     # the first camera found
    cam.enable_filter("lens_undistort")         # a cloud with the true geometry
    cam.start()
    frame = cam.frames(1)[0]
    points = frame.point_cloud()                # (N, 3) float32, metres
    points = points[np.isfinite(points[:, 2])]  # rim pixels beyond the lens's view: NaN z
    rgb = frame.colorize(0.5, 4.0)              # (height, width, 3) uint8
    with open("depth.ppm", "wb") as f:          # a colour image any viewer opens
        f.write(b"P6 %d %d 255\n" % (frame.width, frame.height) + rgb.tobytes())
    print(frame, "->", len(points), "points, median depth %.3f m" % np.median(points[:, 2]))
