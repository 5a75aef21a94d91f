#include "capture/capture_formats.h"

#include <cmath>
#include <cstdio>

std::string formatChoiceText(const FrameFormatChoice& choice) {
    char text[96];
    const double fps = choice.framesPerSecond;
    if (!(fps > 0.0) || !std::isfinite(fps))
        std::snprintf(text, sizeof text, "%d x %d", choice.width, choice.height);
    else if (std::fabs(fps - std::round(fps)) < 0.005)
        std::snprintf(text, sizeof text, "%d x %d, %.0f fps", choice.width, choice.height, fps);
    else
        std::snprintf(text, sizeof text, "%d x %d, %.2f fps", choice.width, choice.height, fps);
    return text;
}
