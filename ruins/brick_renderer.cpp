#include "ruins/brick_renderer.h"

#include "canvas/canvas.h"
#include "scene/ruins_model.h"
#include "scene/scene_model.h"

#include <GL/gl.h>
#include <GL/glu.h>
#include <QImage>
#include <QString>

namespace ruins {

namespace {

constexpr GLfloat kLightPosition[4] = {5.0f, 30.0f, 10.0f, 0.0f};  // directional, model coordinates
constexpr GLfloat kLightDiffuse[4] = {1.0f, 1.0f, 1.0f, 1.0f};
constexpr GLfloat kMaterialWhite[4] = {1.0f, 1.0f, 1.0f, 1.0f};
constexpr GLfloat kMissingGuideGrey = 0.15f;
constexpr int kNoticeX = 8;
constexpr int kNoticeY = 16;

void drawBrickOfEdge(float edge, float i, float j, float k, float dx, float dz, const Float3& colour, float alpha)
{
    // Only the shade model needs saving. Pushing the whole lighting group would
    // also restore the material on pop, and Mesa does not re-apply an unchanged
    // colour to it, so every brick after the first would lose its colour.
    GLint shadeModel = GL_SMOOTH;
    glGetIntegerv(GL_SHADE_MODEL, &shadeModel);
    glShadeModel(GL_FLAT);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    const float half = edge * 0.5f;  // exact: for the ruins' 2.4f it is 1.2f
    glTranslatef(edge * i + half * dx, edge * j + half, edge * k + half * dz);
    glScalef(edge, edge, edge);
    glColor4f(colour.x, colour.y, colour.z, alpha);
    for (const QuadStrip& strip : kBrickStrips) {
        glVertexPointer(3, GL_FLOAT, 0, kBrickVertices.data());
        glNormalPointer(GL_FLOAT, 0, kBrickNormals.data());
        glDrawElements(GL_QUAD_STRIP, strip.count, GL_UNSIGNED_INT, kBrickIndices.data() + strip.first);
    }
    glPopMatrix();
    glShadeModel(GLenum(shadeModel));
}

void drawCells(float edge, std::span<const GridCell> cells, bool highlight, float transparency)
{
    const Float3 colour = brickColour(highlight);
    const float alpha = 1.0f - transparency;
    for (const GridCell& cell : cells)
        drawBrickOfEdge(edge, float(cell.i), float(cell.j), float(cell.k), 1.0f, 1.0f, colour, alpha);
}

// A rectangle from (left, bottom) to (right, top) in overlay units.
struct OverlayRect {
    double left, bottom, right, top;
};

void drawQuad(const OverlayRect& r, bool textured)
{
    glBegin(GL_QUADS);
    if (textured) glTexCoord2f(0.0f, 0.0f);
    glVertex2d(r.left, r.bottom);
    if (textured) glTexCoord2f(1.0f, 0.0f);
    glVertex2d(r.right, r.bottom);
    if (textured) glTexCoord2f(1.0f, 1.0f);
    glVertex2d(r.right, r.top);
    if (textured) glTexCoord2f(0.0f, 1.0f);
    glVertex2d(r.left, r.top);
    glEnd();
}

// Where the picture lies on a width × height frame: fitted as the reference
// positions are, so each number stays on its corner at any frame shape.
OverlayRect pictureRect(int width, int height, int calibrationWidth, int calibrationHeight)
{
    const ReferenceFit fit = referenceFit(width, height, calibrationWidth, calibrationHeight);
    const double top = height - fit.offsetY;
    return {fit.offsetX, top - fit.scale * calibrationHeight, fit.offsetX + fit.scale * calibrationWidth, top};
}

// The picture as a texture for this one paint: the guide shows only while the
// user clicks, and a texture made and freed inside the paint cannot outlive its
// context.
void drawCalibrationPicture(const QImage& texels, const OverlayRect& rect)
{
    GLuint texture = 0;
    glGenTextures(1, &texture);
    glEnable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_GENERATE_MIPMAP, GL_TRUE);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);  // QImage rows are 32-bit aligned
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, texels.width(), texels.height(), 0, GL_RGBA, GL_UNSIGNED_BYTE,
                 texels.constBits());
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    drawQuad(rect, true);
    glBindTexture(GL_TEXTURE_2D, 0);
    glDisable(GL_TEXTURE_2D);
    glDeleteTextures(1, &texture);
}

}  // namespace

void drawBrick(float i, float j, float k, float dx, float dz, float red, float green, float blue, float alpha)
{
    drawBrickOfEdge(kBrickEdgeF, i, j, k, dx, dz, {red, green, blue}, alpha);
}

void drawRuinsModel(const SceneModel& scene, bool highlight, float transparency)
{
    glLineWidth(kRuinsLineWidth);
    drawCells(scene.brickEdge(), scene.realBricks(), highlight, transparency);
    glLineWidth(1.0f);
}

void drawVirtualModel(const SceneModel& scene, bool highlight, float transparency)
{
    drawCells(scene.brickEdge(), scene.virtualBricks(), highlight, transparency);
}

void loadPoseView(const Matrix4& view, double fieldOfView, int width, int height, double depthScale)
{
    glMatrixMode(GL_MODELVIEW);
    glLoadMatrixd(view.data());
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    // The pose puts the optical axis on the centre of pixel (width/2, height/2),
    // which the canvas draws over [width/2, width/2 + 1): half a pixel right of
    // and above the viewport's middle, where the perspective alone would put it.
    glTranslated(1.0 / width, 1.0 / height, 0.0);
    gluPerspective(fieldOfView, double(width) / double(height), kNearPlane * depthScale, kFarPlane * depthScale);
}

void applyPoseView(const Vector3& eye, const Vector3& lookAt, const Vector3& up, double fieldOfView, int width,
                   int height, Matrix4& viewMatrix)
{
    viewMatrix.lookAt(eye, lookAt, up);
    loadPoseView(viewMatrix, fieldOfView, width, height);
}

void drawMatchingOverlay(const SceneModel& scene)
{
    glPolygonMode(GL_FRONT_AND_BACK, GL_LINE);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    drawRuinsModel(scene, true, kMatchingTransparency);
    glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    glDisable(GL_BLEND);
}

void drawCalibrationGuide(Canvas* canvas, const CalibrationGuide& guide, const SceneModel& scene, int width,
                          int height)
{
    const bool havePicture = guide.texels && !guide.texels->isNull();
    const OverlayRect frame{0.0, 0.0, double(width), double(height)};
    if (havePicture) {
        // Bars beside (or above and below) a picture of another shape than the frame.
        glColor3f(0.0f, 0.0f, 0.0f);
        drawQuad(frame, false);
        drawCalibrationPicture(*guide.texels,
                               pictureRect(width, height, guide.calibrationWidth, guide.calibrationHeight));
    } else {
        glColor3f(kMissingGuideGrey, kMissingGuideGrey, kMissingGuideGrey);
        drawQuad(frame, false);
    }
    if (!canvas) return;
    const int calibrationWidth = havePicture ? guide.calibrationWidth : 0;
    const int calibrationHeight = havePicture ? guide.calibrationHeight : 0;
    for (int i = 0; i < scene.pointCount(); ++i) {
        const PixelPosition p =
            scaledReferencePosition(scene.reference(i), width, height, calibrationWidth, calibrationHeight);
        canvas->drawText(p.x, p.y, QString::number(i));
    }
    if (!havePicture) canvas->drawText(kNoticeX, kNoticeY, QString::fromLatin1(kMissingCalibrationNotice));
}

void drawAugmentedModels(const SceneModel& scene)
{
    glPushAttrib(GL_LIGHTING_BIT);
    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);
    glLightfv(GL_LIGHT0, GL_POSITION, kLightPosition);
    // The brick's scale shortens its normals, and nothing normalises them: a
    // light scaled with the edge lights every scene's bricks as the ruins' 2.4.
    const GLfloat lightScale = scene.brickEdge() / kBrickEdgeF;
    const GLfloat diffuse[4] = {kLightDiffuse[0] * lightScale, kLightDiffuse[1] * lightScale,
                                kLightDiffuse[2] * lightScale, kLightDiffuse[3]};
    glLightfv(GL_LIGHT0, GL_DIFFUSE, diffuse);
    // Material before colour material: enabling it then copies the current
    // colour in, and every brick colour after that follows.
    glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, kMaterialWhite);
    glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, kMaterialWhite);
    glColorMaterial(GL_FRONT_AND_BACK, GL_AMBIENT_AND_DIFFUSE);
    glEnable(GL_COLOR_MATERIAL);
    // Mesa copies a colour into the material only when the colour changes; the
    // previous paint left the bricks' own colour current, so without this every
    // frame after the first would be lit in the white material (grey bricks).
    glColor4f(0.0f, 0.0f, 0.0f, 0.0f);

    glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_FALSE);
    drawRuinsModel(scene, false, 0.0f);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);

    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    drawVirtualModel(scene, false, 0.0f);

    glDisable(GL_BLEND);
    glDisable(GL_COLOR_MATERIAL);
    glPopAttrib();
}

}  // namespace ruins
