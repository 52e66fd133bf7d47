#pragma once

#include <QImage>

namespace nerim {

// Blurs `image` in place with an approximate Gaussian of standard deviation
// `sigma` pixels (three box passes each way). The image is converted to
// premultiplied ARGB first; pixels outside it count as transparent, so blurred
// edges fade out.
void gaussianBlur(QImage &image, double sigma);

// `image` made `factor` times smaller each way, each pixel the average of
// the block it covers (a block cut by the edge averages what it holds), as
// premultiplied ARGB: what a blur much wider than the block runs on.
QImage shrunk(const QImage &image, int factor);

// Adds `amount` (0…1) to the red, green and blue of every pixel in place,
// scaled by the pixel's coverage so transparent pixels stay transparent: the
// brightness adjustment of a view. The image is converted to premultiplied
// ARGB first.
void addBrightness(QImage &image, double amount);

} // namespace nerim
