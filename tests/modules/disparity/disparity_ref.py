"""Plain-Python renderings of the disparity matchers, step by step, as the yardstick for the
native module. Images are flat lists (or bytes) of width*height samples, row-major."""

NO_COST = 16777215
RASTER_NO_COST = 1048575
INT_MAX = 2**31 - 1
FILL = 2139062143


def _trunc_half(v):
    """Halving truncated toward zero."""
    return v // 2 if v >= 0 else -((-v) // 2)


def half_resolution(L, R, w, h, offset, box, margin, cands):
    Q = w * h // 4
    W2 = w // 2
    BE = box & 0xFFFE
    B2 = BE // 2
    out = [0] * (w * h)
    cost = {}
    for k, cand in enumerate(cands):
        d = cand + offset
        I = {}
        for y in range(0, h, 2):
            row_sum = 0
            for x in range(0, w - 1, 2):
                c = (y // 2) * W2 + x // 2
                if 0 <= x - d and x - d + 1 < w:
                    sample = 2 * (abs(R[y * w + x - d] - L[y * w + x])
                                  + abs(R[y * w + x - d + 1] - L[y * w + x + 1]))
                else:
                    sample = 1020
                row_sum += sample
                I[c] = row_sum + I.get(c - W2, 0)
                if y >= BE and x >= BE:
                    cost[k * Q + c] = I[c] - I[c - B2] - I[c - B2 * W2] + I[c - B2 * W2 - B2]
    rows = _trunc_half(h + 1 - BE)
    for j in range(max(rows, 0)):
        y = BE + 2 * j
        for x in range(BE, w - 1, 2):
            c = (y // 2) * W2 + x // 2
            best_value, best_cost = 0, NO_COST
            for k, cand in enumerate(cands):
                if cost[k * Q + c] < best_cost:
                    best_value = cand
                    best_cost = cost[k * Q + c] - margin
            for dy in (0, 1):
                yy = y - B2 + dy
                if yy < h:
                    out[yy * w + x - B2] = best_value
                    out[yy * w + x - B2 + 1] = best_value
    return out


def full_resolution(L, R, w, h, offset, box, margin, cands):
    out = [0] * (w * h)
    cost = {}
    for k, cand in enumerate(cands):
        d = cand + offset
        I = {}
        for y in range(h):
            row_sum = 0
            for x in range(w):
                c = y * w + x
                if 0 <= x - d < w:
                    sample = abs(R[y * w + x - d] - L[y * w + x])
                else:
                    sample = 255
                row_sum += sample
                I[c] = row_sum + I.get(c - w, 0)
                if y >= box and x >= box:
                    cost[k * w * h + c] = (I[c] - I[c - box] - I[c - box * w]
                                           + I[c - box * w - box])
    for y in range(box, h):
        for x in range(box, w):
            c = y * w + x
            best_value, best_cost = 0, NO_COST
            for k, cand in enumerate(cands):
                if cost[k * w * h + c] < best_cost:
                    best_value = cand
                    best_cost = cost[k * w * h + c] - margin
            out[(y - box // 2) * w + x - box // 2] = best_value
    return out


def raster(L, R, w, h, max_disp, box, out_before, offset=0):
    """Raster matcher with offset 0 (the only offset that keeps its reads inside the image)."""
    num_disp = max_disp + 1
    out = list(out_before)
    acc = [0] * num_disp
    I = {}
    g = box

    def integral(i, j):
        return I.get((i, j), 0)

    for i in range(max_disp, w * h):
        best, winner = RASTER_NO_COST, 0
        l = i - g * w - g
        for j in range(num_disp):
            acc[j] += abs(R[i - offset - j] - L[i])
            I[(i, j)] = acc[j] + integral(i - w, j)
            if l >= 0:
                v = integral(l, j) + I[(i, j)] - integral(i - g, j) - integral(i - g * w, j)
                if v < best:
                    best, winner = v, j
        out[i] = (winner - offset) & 0xFF
    return out


def gradient(img, w, h):
    rows = []
    for y in range(h):
        v = img[y * w:(y + 1) * w]
        g = [0] * w
        for x in range(1, w - 1):
            g[x] = v[x + 1] - v[x - 1]
        g[0] = g[1]
        g[w - 1] = g[w - 2]
        rows.append(g)
    return rows


def find_row(Lg, Rg, w, k, win, dmin, dmax):
    """Best left and right disparities of output row k over gradient rows Lg, Rg."""
    bestL, bestR = [INT_MAX] * w, [INT_MAX] * w
    minL, minR = [INT_MAX] * w, [INT_MAX] * w
    if dmax < dmin:
        return bestL, bestR
    hw = win // 2
    for d in range(dmin, dmax + 1):
        xs, xe = max(0, d), min(w, w + d)
        S = {x: sum(abs(Lg[y][x] - Rg[y][x - d]) for y in range(k + 1, k + win + 1))
             for x in range(xs, xe)}
        P, run = {xs - 1: 0}, 0
        for x in range(xs, xe):
            run += S[x]
            P[x] = run
        A = [FILL] * w
        for x in range(xs + hw, xe - hw):
            A[x] = P[x + hw] - P[x - hw - 1]
        for x in range(w):
            if A[x] < minL[x]:
                minL[x], bestL[x] = A[x], d
        for x in range(xs, xe):
            if A[x] < minR[x - d]:
                minR[x - d], bestR[x - d] = A[x], -d
    return bestL, bestR


def correlation(L, R, w, h, dmin, dmax, win):
    Lg, Rg = gradient(L, w, h), gradient(R, w, h)
    out = [0] * (w * h)
    for k in range(h - win):
        bestL, bestR = find_row(Lg, Rg, w, k, win, dmin, dmax)
        for x in range(w):
            d = bestL[x]
            if d == INT_MAX or d == dmin:
                continue
            if bestR[x - d] != -d:
                continue
            out[k * w + x] = ((d - dmin) * (255 // (dmax - dmin))) & 0xFF
    return out
